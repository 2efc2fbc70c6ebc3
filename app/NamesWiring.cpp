#include "NamesWiring.h"

#include "core/TfrmDM.h"
#include "enroll/TfrmEnrol.h"
#include "names/DatabaseSettingsDialog.h"
#include "names/NameSending.h"
#include "names/PersonnelNames.h"

#include <QLineEdit>
#include <QTableView>

void wireNameCommands(TfrmEnrol& window, TfrmDM& dm, TFP_CLOCK& clock) {
    TfrmEnrol::NameHandlers h;
    // What a command needs from the window is read here, on the GUI
    // thread; the work runs on the terminal thread.
    h.fillNames = [&dm](TfrmEnrol& w) {
        EnrollStore store = w.store();
        const PersonnelSettings settings = w.mySqlSettings();
        const QString search = w.Edit8->text();
        try {
            w.runCommand([&](Operator& op) {
                fillNames(dm.MyConnection1, dm.MyQuery1, settings, store, search, op);
            });
        } catch (...) {
            // The grid is re-run and shows the list as it stands (a failed
            // fill wrote nothing), so that a send that follows sends that.
            try {
                w.ShowNameList();
            } catch (...) {
            }
            throw;
        }
        w.ShowNameList();
    };
    h.sendSelectedName = [&clock](TfrmEnrol& w) {
        const QModelIndex current = w.DBGrid1->currentIndex();
        const std::optional<NameRow> row =
            nameRowOf(w.qryisim, current.isValid() ? current.row() : -1, w.qryisim.kartnoColumn(),
                      w.qryisim.isimColumn());
        const int32_t machine = w.machineNumber();
        w.runCommand([&](Operator& op) { sendSelectedName(clock, machine, row, op); });
    };
    h.sendAllNames = [&clock](TfrmEnrol& w) {
        const std::vector<NameRow> rows =
            nameRowsOf(w.qryisim, w.qryisim.kartnoColumn(), w.qryisim.isimColumn());
        const int32_t machine = w.machineNumber();
        w.runCommand([&](Operator& op) { sendAllNames(clock, machine, rows, op); });
    };
    h.databaseSettings = [](TfrmEnrol& w) {
        DatabaseSettingsDialog dialog(w.settingsFile(), nullptr, &w);
        dialog.exec();
    };
    window.setNameHandlers(std::move(h));
}
