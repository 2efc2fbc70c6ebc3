// Every control a person can reach has a name a screen reader can say, and
// every label that shows a state says what it shows: the main window and
// each window it opens, as the program builds them.

#include "app/Tfrmgiris.h"
#include "bells/Tfrmzil.h"
#include "core/TfrmDM.h"
#include "core/testing/RecordingOperator.h"
#include "core/testing/TestProgramDir.h"
#include "enroll/TfrmEnrol.h"
#include "names/DatabaseSettingsDialog.h"
#include "registry/Tfrmyeni.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>

#include <gtest/gtest.h>

namespace {

// Controls that take input or show what happened, without a name.
QStringList unnamedControls(QWidget* window) {
    QStringList unnamed;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QComboBox*>(w) || qobject_cast<QProgressBar*>(w) ||
                             qobject_cast<QPlainTextEdit*>(w) ||
                             (qobject_cast<QAbstractItemView*>(w) && !w->objectName().isEmpty());
        // A label that shows a state (no text of its own when made) says what
        // it shows in its description; its name is the state itself, so that
        // a screen reader reads both.
        const auto* label = qobject_cast<QLabel*>(w);
        const bool stateLabel = label && !w->objectName().isEmpty() && label->text().isEmpty();
        if (!control && !stateLabel) continue;
        // Qt's own parts (a combo's editor, a table's corner) have no object name.
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) continue;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
        const QAccessible::Text says = stateLabel ? QAccessible::Description : QAccessible::Name;
        if (!face || face->text(says).trimmed().isEmpty())
            unnamed << QStringLiteral("%1 (%2)").arg(w->objectName(), w->metaObject()->className());
    }
    return unnamed;
}

TEST(AccessibleNames, EveryControlOfEveryWindowHasAName) {
    const TestProgramDir files;
    RecordingOperator op;
    TfrmDM dm;
    Tfrmgiris main(dm, files.dir(), &op);
    Tfrmyeni yeni(dm, op, &main);
    TfrmEnrol enrol(dm, main.FP_CLOCK1, main.worker, main.session, &op, &main);
    Tfrmzil zil(main.FP_CLOCK1, main.worker, main.session, op, &main);
    DatabaseSettingsDialog settings(files.dir() + "Settings.ini", &op, &main);
    for (QWidget* window : std::initializer_list<QWidget*>{&main, &yeni, &enrol, &zil, &settings}) {
        EXPECT_EQ(unnamedControls(window).join(", ").toStdString(), "")
            << window->objectName().toStdString();
    }
}

} // namespace
