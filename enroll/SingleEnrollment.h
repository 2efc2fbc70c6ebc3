#pragma once

// The tab "tek data(parmak)": one enrollment of the connected terminal, read,
// written or deleted through the terminal's text form. The string template
// and the password value stay in the window's enrollment values between
// commands, so what was read for one user can be written for another, or to
// another terminal. Inputs are the tab's texts; one that is not a whole
// number throws AppError before the terminal is touched.

#include "EnrollCommands.h"

#include <QStringList>

#include <optional>

struct SingleReadResult {
    bool locked = false; // the terminal took the lock
    bool read = false;   // and the enrollment was read
    int32_t privilege = 0;
    QStringList lines;                 // for lstEnrollData
    std::optional<QString> cardNumber; // for txtCardNumber, after a card (backup 11)
};

// "Parmakizi Al": enrollment (enroll, the window's machine, backup).
SingleReadResult readSingleEnrollment(TFP_CLOCK& clock, int32_t machine, const QString& enrollText,
                                      const QString& backupText, EnrollValues& values,
                                      Operator& op);

// "Parmakizi Yükle": the string template and the password value as enrollment
// (enroll, the window's machine, backup) with the privilege. An empty enroll
// or card text becomes "0" in place; a card number other than 0 under backup
// 11 becomes the password value first.
void writeSingleEnrollment(TFP_CLOCK& clock, int32_t machine, QString& enrollText,
                           QString& cardText, const QString& backupText,
                           const QString& privilegeText, EnrollValues& values, Operator& op);

// "Parmakizi Sil": enrollment (enroll, "Cihaz No :", backup).
void deleteSingleEnrollment(TFP_CLOCK& clock, int32_t machine, const QString& enrollText,
                            const QString& emachineText, const QString& backupText, Operator& op);
