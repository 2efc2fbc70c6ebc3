#pragma once

#include "EnrollStore.h"

#include <QHash>
#include <QSqlQueryModel>

#include <optional>

// The names list (qryisim): the temp rows whose name begins with the search
// text, Turkish-aware and without regard to letter case ("ay" finds Ayşe,
// "ı" finds Ilgaz, "i" finds İpek), in kartno order. kartno is read-only; an
// edit of isim is saved at once to every temp row of that kartno.
class NamesList : public QSqlQueryModel {
    Q_OBJECT
  public:
    explicit NamesList(QObject* parent = nullptr);

    // Re-runs the list with the search text and returns how many rows it has.
    int reopen(const EnrollStore& store, const QString& search);

    int kartnoColumn() const { return 1; }
    int isimColumn() const { return 2; }

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  private:
    std::optional<EnrollStore> store_;
    QHash<int, QString> edits_; // names saved since the list was run, by row
};
