#pragma once

#include "Operator.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

// The operator interface on a window's own widgets. Any of the progress bar,
// count label and status label may be absent.
class WidgetOperator : public Operator {
  public:
    explicit WidgetOperator(QWidget* owner) : owner_(owner) {}

    void setProgressBar(QProgressBar* bar);
    void setCountLabel(QLabel* label);
    void setStatusLabel(QLabel* label);
    // A command starts: the count label shows its count with the rate from now.
    void startCounting();

    bool askYesNo(const QString& text, const QString& title) override;
    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void setStatus(const QString& text) override;
    void setProgressRange(int minimum, int maximum) override;
    void setProgress(int position) override;
    void showCount(long long count) override;
    void beginBusy() override;
    void endBusy() override;

  private:
    QPointer<QWidget> owner_;
    QPointer<QProgressBar> progressBar_;
    QPointer<QLabel> countLabel_;
    QPointer<QLabel> statusLabel_;
    QElapsedTimer counting_;
};
