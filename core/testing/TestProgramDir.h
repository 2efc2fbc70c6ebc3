#pragma once

#include <QString>
#include <QTemporaryDir>

class TfrmDM;

// A program directory of its own, removed with it, that holds Data.mdb and
// Log.mdb made from the repository's schema files, as a new installation
// has them. Throws when they can't be made.
class TestProgramDir {
  public:
    TestProgramDir();

    // The directory, ending in '/', as commands take it.
    QString dir() const { return tmp_.path() + u'/'; }
    QString path(const QString& name) const { return dir() + name; }

    // Opens Data.mdb and Log.mdb on the data module's two connections, as
    // the main window does when it is created.
    void openOn(TfrmDM& dm) const;

  private:
    QTemporaryDir tmp_;
};
