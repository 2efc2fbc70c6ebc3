#pragma once

#include "core/Operator.h"

#include <QString>
#include <QTime>

// Passes everything a command says on to the window's operator and keeps
// the last message, so that the status line can say, once the command has
// ended, what came of it.
class CommandSummary : public Operator {
  public:
    explicit CommandSummary(Operator& to) : to_(to) {}

    bool askYesNo(const QString& text, const QString& title) override {
        return to_.askYesNo(text, title);
    }
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override { to_.setStatus(text); }
    void setProgressRange(int minimum, int maximum) override {
        to_.setProgressRange(minimum, maximum);
    }
    void setProgress(int position) override { to_.setProgress(position); }
    void showCount(long long count) override { to_.showCount(count); }
    void beginBusy() override { to_.beginBusy(); }
    void endBusy() override { to_.endBusy(); }
    bool cancelRequested() override { return to_.cancelRequested(); }

    // The last line of the last message: where a message has a headline and
    // details ("Bilgiler Dosyaya Aktarıldı....", then what was written), the
    // details. Empty when the command said nothing.
    QString lastLine() const { return lastLine_; }

  private:
    Operator& to_;
    QString lastLine_;
};

// "12:05 Giriş: 208 kayıt yazıldı: veri.txt": the status line after a
// command; connected, when not empty, leads ("Bağlı: …").
QString commandStatusText(const QTime& at, const QString& terminal, const QString& told,
                          const QString& connected = {});
