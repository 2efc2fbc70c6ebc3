#include "NamesList.h"

#include "core/Database.h"

#include <QSqlError>

NamesList::NamesList(QObject* parent) : QSqlQueryModel(parent) {}

int NamesList::reopen(const EnrollStore& store, const QString& search) {
    store_ = store;
    edits_.clear();
    setQuery(store.nameList(search));
    if (lastError().isValid()) throwDatabaseError(lastError());
    // Fetched to the end, the query holds no lock on the file.
    while (canFetchMore())
        fetchMore();
    setHeaderData(kartnoColumn(), Qt::Horizontal, QStringLiteral("kartno"));
    setHeaderData(isimColumn(), Qt::Horizontal, QStringLiteral("isim"));
    return rowCount();
}

QVariant NamesList::data(const QModelIndex& index, int role) const {
    if (index.column() == isimColumn() && (role == Qt::DisplayRole || role == Qt::EditRole)) {
        if (const auto it = edits_.constFind(index.row()); it != edits_.constEnd()) return *it;
    }
    return QSqlQueryModel::data(index, role);
}

Qt::ItemFlags NamesList::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QSqlQueryModel::flags(index);
    if (index.column() == isimColumn()) f |= Qt::ItemIsEditable;
    return f;
}

bool NamesList::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || index.column() != isimColumn()) return false;
    const QString name = value.toString();
    if (!store_) return false;
    // The name belongs to the user, not to one enrollment: every row of the
    // kartno takes it, or sending all names would send an older row's name
    // over the corrected one.
    const QString kartno =
        QSqlQueryModel::data(this->index(index.row(), kartnoColumn())).toString();
    store_->renameUser(kartno, name);
    for (int row = 0; row < rowCount(); ++row) {
        if (QSqlQueryModel::data(this->index(row, kartnoColumn())).toString() != kartno) continue;
        edits_[row] = name;
        const QModelIndex changed = this->index(row, isimColumn());
        emit dataChanged(changed, changed);
    }
    return true;
}
