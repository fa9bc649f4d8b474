#pragma once

#include "common/Ticks.h"

#include <QString>
#include <QStringList>
#include <functional>

namespace gd {

class TSettings;

// The instance name: the program file's path (at most 256 characters) with
// backslashes made forward slashes, upper-cased.
QString ComputeInstanceName(const QString& programPath);

// The instance object: a lock file named from a hash of the instance name,
// held with a shared open-file-description lock (fcntl F_OFD_SETLK) for the
// whole run. Any number of servers hold it; the kernel drops a holder's lock
// when it ends, a crash included.
class TInstanceLock {
public:
    explicit TInstanceLock(QString instanceName, QString folder = QString());
    ~TInstanceLock() { ReleaseInstanceLock(); }
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Takes the lock when not yet held. Throws the "running server found"
    // warning when another server holds it too (the lock stays held) or when
    // no lock could be taken at all.
    void CheckSingleInstance();
    void ReleaseInstanceLock();
    bool IsHeld() const { return FFd >= 0; }
    const QString& LockPath() const { return FPath; }

private:
    QString FPath;
    int FFd = -1;
};

extern const QString kRunningServerFound;

struct TCommandLine {
    QString FDocFolder; // with a trailing "/"
    QString FCtlFile;   // full path, or empty
    bool FClientBound = false;
};

// The folder choice offered when no documents folder is given: caption and
// the initial folder (in/out); true when the user confirmed a folder.
using SelectDocFolderFn = std::function<bool(const QString& caption, QString& folder)>;

// Parses the arguments after the program name. Throws gd::Exception with the
// user's message; stores the folder in the settings (which may throw too).
TCommandLine ParseCommandLine(const QStringList& args, TSettings& settings,
                              const SelectDocFolderFn& selectDocFolder);

// A free name "<temp>/<8 hex digits of the tick>.<ext>"; the file is not created.
QString FreeNameInTempFolder(const QString& ext, const TickSource& ticks = MonotonicTicks);

} // namespace gd
