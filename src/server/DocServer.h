#pragma once

#include "common/Ticks.h"
#include "server/CtlFile.h"
#include "server/ServerHost.h"
#include "server/Startup.h"
#include "server/Watcher.h"

#include <QObject>
#include <QSet>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace gd {

// Time and the file system as the server sees them; tests replace them.
struct TServerSeams {
    TickSource Ticks = MonotonicTicks;
    CtlFolderLister ListFolder = ListCtlFiles;
    // Waits the given milliseconds while letting events run. Empty: a real
    // wait that keeps calling IServerHost::ProcessEvents.
    std::function<void(int ms)> Wait;
    // Change events wake the server early and spare it listings and reads,
    // where the file system reports every change (ChangeEventsReliable).
    bool ChangeEvents = true;
};

// The document server: the polling timer and the server switch, the watch
// over the control files, their reading and marking, and the command cycle.
// It reaches the window only through IServerHost.
class TDocServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimerInterval = 25; // ms
    static constexpr int kTickCountdown = 4;  // a cycle on every fifth tick
    static constexpr int kLockWait = 100;     // ms between attempts on a locked file

    TDocServer(IServerHost& host, const TCommandLine& commandLine,
               std::function<QString()> defFileExt, TServerSeams seams = {},
               QObject* parent = nullptr);
    ~TDocServer() override;

    // The timer's tick: counts down and runs a cycle on every fifth tick; a
    // failing cycle switches the server off silently.
    void TimerCommandTimer();
    void StopTimer();
    bool TimerActive() const;

    // The switch. Switching on ends a held request first.
    void SetServerActive(bool on);
    // Switches the server off to wait for the user; without a user the host
    // is told why.
    void StopForUser(const QString& reason);
    bool IsActive() const { return FActive; }

    // One command cycle.
    void ExecuteCommands();
    // Whether change events are watched (the event path) or not (polling).
    bool EventPath() const { return FEvents != nullptr; }

    // Control-file access on FCtlFile.
    bool OpenCtlFile(int waits);
    void SaveCtlFile();
    void CloseCtlFile();
    bool TakeCommands(TMarkList& taken);
    void WriteMarks(const TMarkList& marks);

    // A document name to its file: the first existing of .tif, .bmp, .jpg,
    // else the default extension.
    QString DocFileName(const QString& name) const;
    // Whether a document's file may be opened: a link must lead, through
    // every link on the way, to a regular file inside the documents folder.
    // A path that names nothing passes (there is nothing to open).
    bool DocFileInFolder(const QString& path) const;
    void SetDocName(const QString& name);
    // A name that may reach the file system: a bare, non-empty file name.
    static bool IsSafeDocName(const QString& name);
    void UpdateStatusText();

    // The held request: with a line a hold begins (the server goes off);
    // without one it ends, its line marked "<" with a source and "#" without.
    void SetHeldCommand(const QByteArray& line, bool editMode);
    void SetHeldCommand();
    void FinishHeldCommand(char mark);

    const QString& FDocFolder() const { return FCommandLine.FDocFolder; }
    bool FClientBound() const { return FCommandLine.FClientBound; }
    const QString& FCtlFile() const { return FCtlFileNow; }
    const QString& FDocName() const { return FDocNameNow; }
    bool FEditMode() const { return FEditModeNow; }
    const QByteArray& FHeldLine() const { return FHeldLineNow; }
    const QList<QByteArray>& FCtlLines() const { return FCtlLinesNow; }
    const TCtlWatcher& Watcher() const { return FWatcher; }

    static const QString kStateEditing;
    static const QString kStateActive;
    static const QString kStateViewing;
    static const QString kStateStopped;

private:
    // Carries out one taken request; true when the loop of the cycle ends.
    bool ExecuteCommand(TMarkPair& pair);
    void Wait(int ms);
    // The event path: reads the pending change events; runs the cycles they
    // ask for.
    void StartChangeEvents();
    void DrainEvents();
    void Wake();
    QList<TFoundFile> ListFolder(const QString& folder);

    IServerHost& FHost;
    const TCommandLine FCommandLine;
    std::function<QString()> FDefFileExt;
    TServerSeams FSeams;
    TCtlWatcher FWatcher;
    QTimer* FTimer = nullptr;
    std::unique_ptr<TFolderEvents> FEvents;
    QSocketNotifier* FNotifier = nullptr;
    QByteArray FCtlName; // client-bound: the control file's name in its folder
    QString FEventFolder;
    TKeptCtlList FKept;
    QSet<QString> FWakeFiles; // changed since their last cycle
    int FTag = kTickCountdown;
    bool FInCycle = false;
    bool FActive = false;
    bool FExitRequest = false;

    QString FCtlFileNow;
    TCtlStream FCtlStream;
    QList<QByteArray> FCtlLinesNow;
    QString FDocNameNow;
    bool FEditModeNow = false;
    QByteArray FHeldLineNow;
};

} // namespace gd
