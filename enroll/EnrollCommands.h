#pragma once

// The fingerprint-data window's bulk commands: all enrollments of the
// connected terminal into the store, and the store back to a terminal.

#include "EnrollStore.h"
#include "terminal/DeviceState.h"

#include <QString>

#include <cstdint>
#include <set>

class Operator;
class TFP_CLOCK;

// The enrollment values the window keeps for the whole run, shared by every
// command: each leaves them as the next one finds them.
struct EnrollValues {
    EnrollTemplate templateArray{}; // from GetEnrollData, to SetEnrollData
    int32_t password = 0;           // password (backup 10) or card number (11)
    QString stringTemplate;         // the terminal's text form, for single enrollments
};

// The window's displays besides the status line.
class EnrollScreen {
  public:
    virtual ~EnrollScreen() = default;
    virtual void clearLog() = 0;                       // Memo1
    virtual void addLogLine(const QString& line) = 0;  // Memo1
    virtual void setPosition(const QString& text) = 0; // Label2
    virtual void setUserName(const QString& name) = 0; // txtName
    virtual void showNameList() = 0;                   // the names list, re-run
};

// Stores one enrollment read from the terminal with the template array (or
// for backups 10 and 11 the password value) and reports it in the status line
// as "00<emachine>-00<enroll>-<backup>". False, with "Double ID", when the
// store already has the key; nothing is stored then.
bool AddEnrollRecord(EnrollWriter& writer, const EnrollValues& values, int32_t enroll,
                     int32_t emachine, int32_t backup, int32_t privilege, EnrollScreen& screen,
                     Operator& op);

// Reads the next stored row into row and takes it into the enrollment
// values: the password value always (0 when empty), and for the template
// backups the template from its text (element 355 is 0 unless the text has
// it). False at the end of the store.
bool ReadEnrollRecord(EnrollReader& reader, EnrollRow& row, EnrollValues& values);

struct DownloadResult {
    enum class Outcome {
        NoDevice,    // the terminal refused the lock ("Bağlanamadı...")
        ReadFailed,  // ReadAllUserID failed (its error shown)
        Done,        // the list was read to its end
        Interrupted, // the link failed before the end
        Cancelled,   // the operator stopped it
    };
    Outcome outcome = Outcome::Done;
    int stored = 0;  // rows read into the new store (kept only when complete)
    int doubles = 0; // refused as "Double ID"
    int skipped = 0; // GetEnrollData failed: not stored
    QString errorName;
    bool complete = false; // every enrollment read: the new store replaced the old one
    QString status;        // the status line at the end
};

// "Terminalden Parmakizi Datası Al": reads every enrollment of the terminal,
// with a temp row and its user's name each, into a new store that replaces
// tblEnroll and temp only when the list was read to its end with every
// enrollment stored; the store is marked complete then, as coming from the
// terminal row named terminalName and its machine number. Any other end (a
// cancel, also one that came before the command began, a terminal refusing
// or cut off, an enrollment not read, a database error) leaves the old store,
// its names and its mark exactly as they were.
DownloadResult downloadEnrollments(TFP_CLOCK& clock, int32_t machine, EnrollStore& store,
                                   EnrollValues& values, EnrollScreen& screen, Operator& op,
                                   const QString& terminalName);

struct UploadResult {
    enum class Outcome {
        Declined,    // No to the question: nothing changed
        StoreUnfit,  // the store can't go to a terminal cleared first: nothing sent
        NoDevice,    // "No Device": the terminal is untouched
        Done,        // every stored row was sent, but for unfit ones
        Interrupted, // the link failed; the rows before it were sent
        Cancelled,   // the operator stopped it; the rows before it were sent
    };
    Outcome outcome = Outcome::Done;
    bool clearFailed = false;      // ClearKeeperData was asked for and failed
    int sent = 0;                  // rows sent with SetEnrollData
    int refused = 0;               // of them, refused by the terminal
    int unfit = 0;                 // rows not sent: a value the terminal can't take
    QString errorName;             // of the last failure
    QString unfitText;             // StoreUnfit: why; else the first unfit row
    std::set<int32_t> sentEnrolls; // the users with a row the terminal took
};

// "Terminale Parmakizi Datası Yükle": after Yes to the question, reads every
// row of tblEnroll and checks that the terminal can take it (32-bit numbers,
// an enroll number not below 0, a template text that reads whole), then
// writes the rows to the terminal, each with its own stored enroll-machine
// number. A row that fails the check is said in Memo1 and at the end, and
// never sent. clearFirst ("Cihazdaki tüm prmizlerini sil") deletes all
// enrollments on the terminal first, and only for a store that a download
// marked complete and whose every row passes: otherwise nothing is cleared
// or sent (StoreUnfit, said in the status line and a message box).
UploadResult uploadEnrollments(TFP_CLOCK& clock, int32_t machine, EnrollStore& store,
                               EnrollValues& values, bool clearFirst, EnrollScreen& screen,
                               Operator& op);

// The texts the commands show.
QString uploadQuestion(); // "Seçili terminale parmakizi datası yüklensin mi...?"
// The texts of a download that did not replace the store: read rows were read,
// and the old store is kept.
QString interruptedDownloadText(const QString& errorName, int read);
QString interruptedUploadText(const QString& errorName, int sent);
QString cancelledDownloadText(int read);
QString cancelledUploadText(int sent);
QString unfitRowsText(int unfit, const QString& first);
