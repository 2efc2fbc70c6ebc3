#include "NamesWiring.h"

#include "core/AppError.h"
#include "core/CommandWorker.h"
#include "core/Operator.h"
#include "core/TfrmDM.h"
#include "enroll/TfrmEnrol.h"
#include "names/DatabaseSettingsDialog.h"
#include "names/NameSending.h"
#include "names/PersonnelNames.h"

#include <QLineEdit>
#include <QScopeGuard>
#include <QTableView>

void wireNameCommands(TfrmEnrol& window, TfrmDM& dm, TFP_CLOCK& clock) {
    TfrmEnrol::NameHandlers h;
    // What a command needs from the window is read here, on the GUI
    // thread; the work runs on the terminal thread.
    h.fillNames = [&dm](TfrmEnrol& w) {
        const PersonnelSettings settings = w.mySqlSettings();
        const QString search = w.Edit8->text();
        // The grid is re-run afterwards, also after a failed fill (which
        // wrote nothing), so that a send that follows sends what it shows.
        const auto showList = [&w] {
            try {
                w.ShowNameList();
            } catch (const std::exception& e) {
                reportError(w.op(), errorText(e));
            }
        };
        w.runCommand([&dm, &w, settings, search, showList](Operator& op) {
            const auto listAgain = qScopeGuard([&] { postToThreadOf(&w, showList); });
            EnrollStore store = w.store(); // the command thread's own connections
            fillNames(dm.MyConnection1, dm.MyQuery1, settings, store, search, op);
        });
    };
    h.sendSelectedName = [&clock](TfrmEnrol& w) {
        const QModelIndex current = w.DBGrid1->currentIndex();
        const std::optional<NameRow> row =
            nameRowOf(w.qryisim, current.isValid() ? current.row() : -1, w.qryisim.kartnoColumn(),
                      w.qryisim.isimColumn());
        const int32_t machine = w.machineNumber();
        w.runCommand(
            [&clock, machine, row](Operator& op) { sendSelectedName(clock, machine, row, op); });
    };
    h.sendAllNames = [&clock](TfrmEnrol& w) {
        const std::vector<NameRow> rows =
            nameRowsOf(w.qryisim, w.qryisim.kartnoColumn(), w.qryisim.isimColumn());
        const int32_t machine = w.machineNumber();
        w.runCommand(
            [&clock, machine, rows](Operator& op) { sendAllNames(clock, machine, rows, op); });
    };
    h.databaseSettings = [](TfrmEnrol& w) {
        DatabaseSettingsDialog dialog(w.settingsFile(), nullptr, &w);
        dialog.exec();
    };
    window.setNameHandlers(std::move(h));
}
