// Renders the main window in the middle of a long "Tüm Verileri Al (silmez)"
// into a PNG: v270-progress-shot PROGRAM_DIR OUT.png
// The terminal is an in-process one holding 200,000 records behind a slow
// link, so the bar, the count and the rate show as the operator sees them.
// Not installed; scripts/screenshot runs it.

#include "app/Application.h"
#include "app/Tfrmgiris.h"
#include "core/TfrmDM.h"
#include "terminal/DeviceModel.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    Application app(argc, argv);
    app.loadTurkishTranslation();
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "Kullanım: v270-progress-shot PROGRAM_DIR OUT.png\n");
        return 2;
    }
    const QString programDir = args[1].endsWith(u'/') ? args[1] : args[1] + u'/';
    TfrmDM dm;
    Tfrmgiris window(dm, programDir);
    DeviceState state;
    state.machine = 1;
    for (int i = 0; i < 200000; ++i)
        state.logs.push_back(
            LogRecord{1000 + i % 700, 0, 2026, 12, 1 + i % 28, 7 + i % 12, i % 60});
    auto device = std::make_shared<DeviceModel>(state);
    window.FP_CLOCK1.setInProcessDevice(device);
    window.show();

    int status = 0;
    bool shot = false;
    const auto shoot = [&] {
        if (!window.grab().save(args[2])) {
            std::fprintf(stderr, "yazılamadı: %s\n", qPrintable(args[2]));
            status = 1;
        }
        shot = true;
        window.cancelButton->click();
    };
    // Whatever box the cancelled download shows is closed, then the program ends.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &app, [&] {
        if (!shot) return;
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->reject();
        if (!window.commandRunning()) app.quit();
    });
    closer.start(200);

    QTimer::singleShot(500, &app, [&] {
        window.BitBtn4->click();
        device->faults().delayMs = 250;
        QTimer::singleShot(2500, &app, shoot);
        window.erminaldentmVerileriAl1->trigger();
    });
    app.exec();
    return status;
}
