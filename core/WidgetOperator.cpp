#include "WidgetOperator.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>

namespace {
QMessageBox::Icon boxIcon(Operator::Icon icon) {
    switch (icon) {
    case Operator::Icon::Information:
        return QMessageBox::Information;
    case Operator::Icon::Warning:
        return QMessageBox::Warning;
    case Operator::Icon::Critical:
        return QMessageBox::Critical;
    case Operator::Icon::Question:
        return QMessageBox::Question;
    case Operator::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QWidget* dialogParent(QWidget* owner) {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (owner && owner->isVisible()) return owner;
    return nullptr;
}
} // namespace

bool WidgetOperator::askYesNo(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No,
                    dialogParent(owner_));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void WidgetOperator::showMessage(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, dialogParent(owner_));
    box.exec();
}

void WidgetOperator::setProgressBar(QProgressBar* bar) {
    progressBar_ = bar;
}
void WidgetOperator::setCountLabel(QLabel* label) {
    countLabel_ = label;
}
void WidgetOperator::setStatusLabel(QLabel* label) {
    statusLabel_ = label;
}

void WidgetOperator::setStatus(const QString& text) {
    if (statusLabel_) statusLabel_->setText(text);
}

void WidgetOperator::setProgressRange(int minimum, int maximum) {
    if (progressBar_) progressBar_->setRange(minimum, maximum);
}

void WidgetOperator::setProgress(int position) {
    if (progressBar_) progressBar_->setValue(position);
}

void WidgetOperator::startCounting() {
    counting_.start();
    if (countLabel_) countLabel_->clear();
}

void WidgetOperator::showCount(long long count) {
    if (!countLabel_) return;
    const QLocale turkish(QLocale::Turkish);
    QString text = turkish.toString(count);
    // The rate once it means something: after a second of work.
    if (counting_.isValid() && counting_.elapsed() >= 1000) {
        const long long perSecond = count * 1000 / counting_.elapsed();
        text += QStringLiteral(" (%1/sn)").arg(turkish.toString(perSecond));
    }
    countLabel_->setText(text);
}

void WidgetOperator::beginBusy() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}
void WidgetOperator::endBusy() {
    QApplication::restoreOverrideCursor();
}
