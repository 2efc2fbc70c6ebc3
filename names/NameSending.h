#pragma once

// Names from the names list to the terminal: "Seçili Personel Adını
// Terminale Yükle" and "Tüm Personel Adlarını Terminale Yükle".

#include "core/AppError.h"
#include "enroll/EnrollStore.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class Operator;
class QAbstractItemModel;
class TFP_CLOCK;

// One row of the names list.
struct NameRow {
    QString kartno;
    QString isim;
};

// The rows of a names list as a grid shows them (hand edits included).
std::vector<NameRow> nameRowsOf(const QAbstractItemModel& list, int kartnoColumn, int isimColumn);
std::optional<NameRow> nameRowOf(const QAbstractItemModel& list, int row, int kartnoColumn,
                                 int isimColumn);
// The rows of the names list under a search text, read from the store.
std::vector<NameRow> nameRowsOf(const EnrollStore& store, const QString& search);

enum class NameSent { Skipped, Sent, Refused };

// Sends the row's name, control characters made blanks, folded to plain
// Latin letters and whole (the terminal keeps what it can), as the name of
// the user numbered kartno;
// the status line tells "SetUserName OK" or the error's name, which also
// goes to refusal when given. A row without a name is skipped silently. A
// kartno that is not a whole number throws AppError before anything is sent.
NameSent SendUserName(TFP_CLOCK& clock, int32_t machine, const NameRow& row, Operator& op,
                      QString* refusal = nullptr);

struct SendResult {
    int sent = 0;           // names the terminal took
    int refused = 0;        // names the terminal refused
    int skipped = 0;        // rows without a name
    bool cancelled = false; // the operator stopped it; the names before were sent
    QString refusal;        // the error name of the last name refused
};

// "Terminal 2 ismi almadı (son hata: ERR_NON_CARRYOUT)." for a send with
// refused names: the reason is the refusal's own, whatever went after it.
QString refusedNamesText(const SendResult& result);

// A kartno that is not a whole number stopped a send; what was sent before stays.
class NameSendStopped : public AppError {
  public:
    NameSendStopped(const QString& text, const SendResult& soFar) : AppError(text), soFar(soFar) {}
    SendResult soFar;
};

// The selected row (none: nothing happens), under the busy cursor.
SendResult sendSelectedName(TFP_CLOCK& clock, int32_t machine, const std::optional<NameRow>& row,
                            Operator& op);
// Every row, first to last, under the busy cursor; a refused name doesn't
// stop the rest, a kartno that is not a number does (NameSendStopped).
SendResult sendAllNames(TFP_CLOCK& clock, int32_t machine, const std::vector<NameRow>& rows,
                        Operator& op);
