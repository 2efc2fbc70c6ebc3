#include "TfrmDM.h"

#include "core/Database.h"

#include <QAtomicInt>
#include <QThread>

#include <vector>

namespace {
QString uniqueName(const char* base) {
    static QAtomicInt counter;
    return QStringLiteral("%1_%2").arg(QLatin1String(base)).arg(counter.fetchAndAddRelaxed(1));
}

// The connections a thread opened for itself, closed when the thread ends.
class ThreadConnections {
  public:
    ThreadConnections() : suffix_(uniqueName("@thread")) {}
    ~ThreadConnections() {
        for (const QString& name : names_) {
            {
                QSqlDatabase db = QSqlDatabase::database(name, false);
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
        }
    }
    ThreadConnections(const ThreadConnections&) = delete;
    ThreadConnections& operator=(const ThreadConnections&) = delete;

    QSqlDatabase cloneOf(const QString& original) {
        const QString name = original + suffix_;
        QSqlDatabase clone;
        if (QSqlDatabase::contains(name)) {
            clone = QSqlDatabase::database(name, false);
        } else {
            names_.push_back(name);
            clone = QSqlDatabase::cloneDatabase(original, name);
        }
        // The original names its file once the program directory is opened;
        // the clone follows it, with the same Turkish text rules.
        if (!clone.isOpen() && !clone.databaseName().isEmpty() && clone.open()) {
            registerTurkishText(clone);
        }
        return clone;
    }

  private:
    QString suffix_;
    std::vector<QString> names_;
};

const void* currentThreadKey() {
    return QThread::currentThread();
}
} // namespace

TfrmDM::TfrmDM()
    : name1_(uniqueName("ADOConnection1")), name2_(uniqueName("ADOConnection2")),
      ownerThread_(currentThreadKey()) {
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

QSqlDatabase TfrmDM::connectionOnThisThread(const QString& name) const {
    if (currentThreadKey() == ownerThread_) return QSqlDatabase::database(name, false);
    thread_local ThreadConnections connections;
    return connections.cloneOf(name);
}

QSqlDatabase TfrmDM::ADOConnection1() const {
    return connectionOnThisThread(name1_);
}
QSqlDatabase TfrmDM::ADOConnection2() const {
    return connectionOnThisThread(name2_);
}
