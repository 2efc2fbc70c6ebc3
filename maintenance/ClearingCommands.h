#pragma once

#include <QSqlDatabase>
#include <QString>

#include <cstdint>

class Operator;
class TFP_CLOCK;

struct AdminClearResult {
    bool reached = false;   // the terminal took the first lock
    int listed = 0;         // enrollments copied into ENROLLINFO
    int administrators = 0; // of them with privilege 1 or 2
    int deleted = 0;        // administrator enrollments deleted from the terminal
    int refused = 0;        // deletions the terminal refused; those stay with privilege 0
    bool lockLost = false;  // the terminal refused a lock during the sweep; the rest stay
    QString errorName;      // the terminal's error after the last refusal
    QString text;           // the message shown, if any

    bool complete() const { return reached && !lockLost && refused == 0; }
};

// "Admin Sil": empties ENROLLINFO (in data, Data.mdb) and fills it with the
// terminal's enrollments, then takes every enrollment with privilege 1 or 2
// off the terminal: privilege 0, then deleted. An enrollment whose deletion
// is refused keeps privilege 0, and the operator is warned how many such
// enrollments are left on the terminal. Database errors throw
// AppError; the cursor and the terminal are released on every way out.
AdminClearResult clearAdministrators(TFP_CLOCK& clock, int32_t machineNumber,
                                     const QSqlDatabase& data, Operator& op);

enum class FingerprintClearOutcome {
    Declined, // the operator answered No; nothing sent
    NoDevice, // the terminal refused the lock
    Cleared,  // "tamamlandı"
    Refused,  // the terminal refused to empty its enrollments; nothing shown
};

struct FingerprintClearResult {
    FingerprintClearOutcome outcome = FingerprintClearOutcome::Declined;
    QString errorName;
};

// "Terminalde Tanımlı Tüm Parmakizlerini Sil": asks first, then deletes every
// enrollment on the terminal.
FingerprintClearResult clearAllFingerprints(TFP_CLOCK& clock, int32_t machineNumber, Operator& op);

QString administratorsClearedText(); // "Tüm Yöneticiler İptal Edildi...."
QString administratorsRemainText(int refused, const QString& errorName);
QString
clearFingerprintsQuestion(); // "Seçili Terminaldeki Tüm Parmakizlerini Silmek İstiyor musunuz...?"
QString fingerprintsClearedText(); // "tamamlandı"
