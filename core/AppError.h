#pragma once

#include <QString>

#include <stdexcept>

// An error that a command raises for the operator to read. It travels up to
// the one catch at the top of the event loop, which shows its text.
class AppError : public std::runtime_error {
  public:
    explicit AppError(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}
    const QString& text() const { return text_; }

  private:
    QString text_;
};

// The text of any exception, for the error report.
QString errorText(const std::exception& e);
