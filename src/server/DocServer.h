#pragma once

#include "common/Ticks.h"
#include "server/CtlFile.h"
#include "server/PrintCommand.h"
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

// The server's commands, named by the keyword of a request's first item.
enum class TCommand { Test, Print, Show, Edit, Delete, Hide, Exit };

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

    // One row of the command table, which alone decides what a request does.
    struct TCommandEntry {
        const char* Keyword; // upper case; a request's keyword ends at "="
        TCommand Command;
        bool InFolderMode; // folder mode refuses the commands without it
        // Carries out the request and sets its mark; true when the loop of
        // the cycle ends there.
        bool (TDocServer::*Execute)(const QList<QByteArray>& items, TMarkPair& pair);
    };
    // The row of a keyword: ASCII letters are compared regardless of case,
    // every other byte exactly. Null when no command has the keyword.
    static const TCommandEntry* FindCommand(QByteArrayView keyword);

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

    void UpdateStatusText();

    // The held request: with a line a hold begins (the server goes off; a
    // SHOW whose file was not opened says so); without one it ends, its line
    // marked "<" with a source and "#" without.
    void SetHeldCommand(const QByteArray& line, bool editMode, bool opened);
    void SetHeldCommand();
    void FinishHeldCommand(char mark);

    const QString& DocFolder() const { return FCommandLine.FDocFolder; }
    bool ClientBound() const { return FCommandLine.FClientBound; }
    const QString& CtlFile() const { return FCtlFileNow; }
    bool EditMode() const { return FEditMode; }
    const QByteArray& HeldLine() const { return FHeldLine; }

    static const QString kStateEditing;
    static const QString kStateActive;
    static const QString kStateViewing;
    static const QString kStateStopped;

private:
    // Carries out one taken request by the command table; true when the
    // loop of the cycle ends.
    bool ExecuteCommand(TMarkPair& pair);
    // The table's handlers.
    bool ExecuteTest(const QList<QByteArray>& items, TMarkPair& pair);
    bool ExecutePrint(const QList<QByteArray>& items, TMarkPair& pair);
    bool ExecuteShow(const QList<QByteArray>& items, TMarkPair& pair);
    bool ExecuteEdit(const QList<QByteArray>& items, TMarkPair& pair);
    bool ShowDocument(const QList<QByteArray>& items, TMarkPair& pair, bool edit);
    bool ExecuteDelete(const QList<QByteArray>& items, TMarkPair& pair);
    bool ExecuteHide(const QList<QByteArray>& items, TMarkPair& pair);
    bool ExecuteExit(const QList<QByteArray>& items, TMarkPair& pair);
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
    // The file of a name in the documents folder.
    QString DocFile(const QString& name) const;

    // A name handed to the window is current (the state text reads it).
    bool FNamed = false;
    bool FEditMode = false;
    QByteArray FHeldLine;
};

} // namespace gd
