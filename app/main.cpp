#include "Application.h"
#include "EndOnSignal.h"
#include "NamesWiring.h"
#include "Tfrmgiris.h"
#include "bells/Tfrmzil.h"
#include "cli/CommandLine.h"
#include "core/AppError.h"
#include "core/TfrmDM.h"
#include "core/WidgetOperator.h"
#include "enroll/TfrmEnrol.h"
#include "registry/Tfrmyeni.h"

#include <QFileInfo>
#include <QScreen>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    // A file-size limit (ulimit -f) then fails the write with EFBIG, which a
    // transfer reports like a full disk, instead of killing the program
    // between a batch's lines and its commit.
    std::signal(SIGXFSZ, SIG_IGN);
    if (isHeadlessInvocation(argc, argv)) return runHeadless(argc, argv);

    Application app(argc, argv);
    app.loadTurkishTranslation();
    ProgramDirectory chosen;
    try {
        chosen = windowProgramDir(app);
    } catch (const AppError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.text()));
        WidgetOperator op(nullptr);
        reportError(op, e.text());
        return 1;
    }
    const QString& programDir = chosen.path;
    try {
        requireProgramDirectory(programDir);
    } catch (const AppError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.text()));
        return 1;
    }

    // Start-up order: data module, main window, then the secondary windows,
    // each created once for the whole run.
    TfrmDM frmDM;
    Tfrmgiris frmgiris(frmDM, programDir);
    app.setErrorOperator(&frmgiris.op());
    Tfrmyeni frmyeni(frmDM, frmgiris.op(), &frmgiris);
    TfrmEnrol frmEnrol(frmDM, frmgiris.FP_CLOCK1, frmgiris.worker, frmgiris.session, nullptr,
                       &frmgiris);
    wireNameCommands(frmEnrol, frmDM, frmgiris.FP_CLOCK1);
    Tfrmzil frmzil(frmgiris.FP_CLOCK1, frmgiris.worker, frmgiris.session, frmgiris.op(), &frmgiris);
    frmgiris.setSecondaryWindows(&frmyeni, &frmEnrol, &frmzil);
    if (!chosen.notice.isEmpty()) frmgiris.op().setStatus(chosen.notice);

    const EndOnSignal endOnSignal(
        [&frmgiris] { frmgiris.endWithoutAsking(&QCoreApplication::quit); });

    frmgiris.show();
    // Centred on the desktop.
    if (const QScreen* screen = frmgiris.screen()) {
        frmgiris.move(screen->availableGeometry().center() - frmgiris.rect().center());
    }
    return app.exec();
}
