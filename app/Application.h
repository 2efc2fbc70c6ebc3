#pragma once

#include <QApplication>

class Operator;

// The application object. Its one catch at the top of the event loop is the
// standard error report: an error that escapes a handler is shown with its
// own text, and the program goes on.
class Application : public QApplication {
  public:
    Application(int& argc, char** argv);

    void setErrorOperator(Operator* op) { errorOperator_ = op; }
    bool notify(QObject* receiver, QEvent* event) override;

    // Loads Qt's own Turkish texts for the standard buttons and dialogs.
    void loadTurkishTranslation();

  private:
    Operator* errorOperator_ = nullptr;
};
