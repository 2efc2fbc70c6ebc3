#include "TfrmDM.h"

#include <QAtomicInt>

namespace {
QString uniqueName(const char* base) {
    static QAtomicInt counter;
    return QStringLiteral("%1_%2").arg(QLatin1String(base)).arg(counter.fetchAndAddRelaxed(1));
}
} // namespace

TfrmDM::TfrmDM() : name1_(uniqueName("ADOConnection1")), name2_(uniqueName("ADOConnection2")) {
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name1_);
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name2_);

    MyConnection1.Name = "MyConnection1";
    MyConnection1.SetServer("localhost");
    MyConnection1.SetDatabase("mysql");
    MyConnection1.SetUsername("root");
    MyConnection1.Options().SetCharset("latin5");
    MyQuery1.Name = "MyQuery1";
    MyQuery1.SetConnection(&MyConnection1);
    // The query's own default is a year: a stalled server would freeze the window.
    MyQuery1.CommandTimeout = kMySqlCommandTimeout;
}

TfrmDM::~TfrmDM() {
    qrycihaz.clear();
    for (const QString& name : {name1_, name2_}) {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
}

QSqlDatabase TfrmDM::ADOConnection1() const {
    return QSqlDatabase::database(name1_, false);
}
QSqlDatabase TfrmDM::ADOConnection2() const {
    return QSqlDatabase::database(name2_, false);
}
