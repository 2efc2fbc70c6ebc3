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
    h.fillNames = [&dm](TfrmEnrol& w) {
        EnrollStore store = w.store();
        try {
            fillNames(dm.MyConnection1, dm.MyQuery1, w.mySqlSettings(), store, w.Edit8->text(),
                      w.op());
        } catch (...) {
            // The grid shows what was stored before the error, so that a
            // send that follows sends that.
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
        sendSelectedName(clock, w.machineNumber(),
                         nameRowOf(w.qryisim, current.isValid() ? current.row() : -1,
                                   w.qryisim.kartnoColumn(), w.qryisim.isimColumn()),
                         w.op());
    };
    h.sendAllNames = [&clock](TfrmEnrol& w) {
        sendAllNames(clock, w.machineNumber(),
                     nameRowsOf(w.qryisim, w.qryisim.kartnoColumn(), w.qryisim.isimColumn()),
                     w.op());
    };
    h.databaseSettings = [](TfrmEnrol& w) {
        DatabaseSettingsDialog dialog(w.settingsFile(), nullptr, &w);
        dialog.exec();
    };
    window.setNameHandlers(std::move(h));
}
