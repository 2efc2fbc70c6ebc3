// Renders the PDKS database settings dialog, as the program shows it, into a
// PNG: v270-dialog-shot SETTINGS_INI OUT.png [--try]
// With --try it presses "Dene" first, so the picture shows its answer.
// Not installed; scripts/screenshot runs it.

#include "app/Application.h"
#include "names/DatabaseSettingsDialog.h"

#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    Application app(argc, argv);
    app.loadTurkishTranslation();
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "Kullanım: v270-dialog-shot SETTINGS_INI OUT.png [--try]\n");
        return 2;
    }
    DatabaseSettingsDialog dialog(args[1]);
    dialog.show();
    int status = 0;
    const auto shoot = [&] {
        if (!dialog.grab().save(args[2])) {
            std::fprintf(stderr, "yazılamadı: %s\n", qPrintable(args[2]));
            status = 1;
        }
        app.quit();
    };
    // After the first paints, so that the fonts and the layout have settled.
    if (args.contains(QStringLiteral("--try"))) {
        QObject::connect(&dialog, &DatabaseSettingsDialog::tryFinished, &app,
                         [&] { QTimer::singleShot(300, &app, shoot); });
        dialog.btnTry->click();
    } else {
        QTimer::singleShot(800, &app, shoot);
    }
    app.exec();
    return status;
}
