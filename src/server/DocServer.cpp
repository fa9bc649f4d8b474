#include "DocServer.h"

#include "common/DocNames.h"
#include "common/Exception.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace gd {

const QString TDocServer::kStateEditing = QStringLiteral("Редактирование");
const QString TDocServer::kStateActive = QStringLiteral("Сервер активен");
const QString TDocServer::kStateViewing = QStringLiteral("Просмотр");
const QString TDocServer::kStateStopped = QStringLiteral("Сервер остановлен");

TDocServer::TDocServer(IServerHost& host, const TCommandLine& commandLine,
                       std::function<QString()> defFileExt, TServerSeams seams, QObject* parent)
    : QObject(parent), FHost(host), FCommandLine(commandLine), FDefFileExt(std::move(defFileExt)),
      FSeams(std::move(seams)),
      FWatcher([this](const QString& folder) { return ListFolder(folder); }, FSeams.Ticks),
      FTimer(new QTimer(this)) {
    FTimer->setObjectName(QStringLiteral("TimerCommand"));
    FTimer->setInterval(kTimerInterval);
    connect(FTimer, &QTimer::timeout, this, &TDocServer::TimerCommandTimer);
    if (FCommandLine.FClientBound)
        FCtlFileNow = FCommandLine.FCtlFile;
    if (FSeams.ChangeEvents)
        StartChangeEvents();
}

void TDocServer::StartChangeEvents() {
    if (ClientBound()) {
        // The folder is watched, not the file: a file replaced by a rename
        // is seen too.
        const qsizetype slash = FCtlFileNow.lastIndexOf(u'/');
        FEventFolder = slash < 0 ? QStringLiteral(".") : FCtlFileNow.left(slash + 1);
        FCtlName = EncodeFileName(FCtlFileNow.mid(slash + 1));
    } else {
        FEventFolder = DocFolder();
    }
    if (FEventFolder.isEmpty() || !ChangeEventsReliable(FEventFolder))
        return;
    auto events = std::make_unique<TFolderEvents>(FEventFolder);
    if (!events->Valid())
        return;
    FEvents = std::move(events);
    FNotifier = new QSocketNotifier(FEvents->Fd(), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] {
        DrainEvents();
        Wake();
    });
    FCtlStream.SetIncremental([this] { DrainEvents(); });
}

void TDocServer::DrainEvents() {
    if (!FEvents)
        return;
    bool overflow = false;
    const QList<QByteArray> names = FEvents->Read(overflow);
    if (overflow) {
        // Anything may have changed: the folder is listed, every file read again.
        FKept.Overflowed();
        FCtlStream.Forget();
    }
    for (const QByteArray& name : names) {
        if (ClientBound() ? name != FCtlName : !IsCtlFileName(name))
            continue;
        const QString path = ClientBound() ? FCtlFileNow : DocFolder() + DecodeFileName(name);
        if (!ClientBound())
            FKept.Changed(name);
        FCtlStream.Touched(path);
        // The open file's events are the server's own marks.
        if (!(FCtlStream.IsOpen() && path == FCtlFileNow))
            FWakeFiles.insert(path);
    }
    if (overflow && ClientBound())
        FWakeFiles.insert(FCtlFileNow);
}

void TDocServer::Wake() {
    // After EXIT the window is closing: the requests behind it stay waiting.
    if (!FActive || FExitRequest)
        FWakeFiles.clear();
    if (FInCycle || FWakeFiles.isEmpty())
        return;
    // In folder mode the changed files come in their turn of the rotation;
    // cycles for the others cost a look at their size and time.
    const qsizetype most = ClientBound() ? 1 : FWatcher.SeenFiles().size() + 1;
    for (qsizetype i = 0; i < most && FActive && !FExitRequest && !FWakeFiles.isEmpty(); ++i) {
        FTag = 0;
        TimerCommandTimer();
        FWakeFiles.remove(FCtlFileNow);
    }
    FWakeFiles.clear();
}

QList<TFoundFile> TDocServer::ListFolder(const QString& folder) {
    if (!FEvents || ClientBound())
        return FSeams.ListFolder(folder);
    DrainEvents();
    return FKept.List(folder);
}

TDocServer::~TDocServer() {
    StopTimer();
}

void TDocServer::StopTimer() {
    FTimer->stop();
}

bool TDocServer::TimerActive() const {
    return FTimer->isActive();
}

void TDocServer::TimerCommandTimer() {
    if (FTag > 0) {
        --FTag;
        return;
    }
    // Switching the server on during a wait inside a cycle restarts the
    // timer; a second cycle must not start inside the first.
    if (FInCycle)
        return;
    FTimer->stop();
    FInCycle = true;
    try {
        ExecuteCommands();
    } catch (const std::exception& e) {
        FInCycle = false;
        StopForUser(QString::fromUtf8(e.what()));
    } catch (...) {
        FInCycle = false;
        StopForUser(QStringLiteral("Ошибка в цикле команд"));
    }
    FInCycle = false;
    FTag = kTickCountdown;
    FTimer->start();
    // Changes that came in during the cycle.
    if (!FWakeFiles.isEmpty())
        QTimer::singleShot(0, this, &TDocServer::Wake);
}

void TDocServer::SetServerActive(bool on) {
    if (on) {
        SetHeldCommand();
        FTimer->start();
    }
    FActive = on;
    FHost.SetSwitchChecked(on);
    UpdateStatusText();
}

void TDocServer::StopForUser(const QString& reason) {
    SetServerActive(false);
    if (!FHost.HasUser())
        FHost.UserNeeded(reason);
}

void TDocServer::ExecuteCommands() {
    if (!FActive)
        return;
    FExitRequest = false;
    TMarkList pairs;
    if (TakeCommands(pairs)) {
        try {
            for (qsizetype i = 0; i < pairs.size(); ++i) {
                if (ExecuteCommand(pairs[i])) {
                    for (qsizetype j = i + 1; j < pairs.size(); ++j)
                        pairs[j].Mark = kMarkWaiting;
                    break;
                }
            }
        } catch (...) {
            WriteMarks(pairs);
            throw;
        }
        WriteMarks(pairs);
    }
    UpdateStatusText();
    if (FExitRequest)
        FHost.CloseMainWindow();
}

void TDocServer::Wait(int ms) {
    if (FSeams.Wait) {
        FSeams.Wait(ms);
        return;
    }
    QDeadlineTimer deadline(ms);
    do {
        FHost.ProcessEvents();
        const qint64 left = deadline.remainingTime();
        if (left > 0)
            QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 10)));
    } while (!deadline.hasExpired());
}

bool TDocServer::OpenCtlFile(int waits) {
    if (FCtlStream.IsOpen())
        throw Exception(QStringLiteral("Файл \"%1\" уже открыт").arg(FCtlFileNow));
    if (FCtlFileNow.isEmpty())
        return false;
    if (!PathExists(FCtlFileNow)) {
        StopForUser(QStringLiteral("Не найден файл \"%1\"").arg(FCtlFileNow));
        return false;
    }
    int retries = waits * 10;
    for (;;) {
        if (FCtlStream.TryOpen(FCtlFileNow, FCtlLinesNow))
            return true;
        if (retries > 0) {
            Wait(kLockWait);
            --retries;
        }
        if (retries <= 0)
            return false;
    }
}

void TDocServer::SaveCtlFile() {
    FCtlStream.SaveMarks(FCtlLinesNow);
}

void TDocServer::CloseCtlFile() {
    FCtlStream.Close();
}

bool TDocServer::TakeCommands(TMarkList& taken) {
    taken.clear();
    if (!ClientBound()) {
        FCtlFileNow = FWatcher.NextCtlFile(DocFolder());
        FHost.SetCtlFileText(FCtlFileNow);
    }
    // Known to hold nothing to take and unchanged since: not even opened.
    if (FCtlStream.Unchanged(FCtlFileNow))
        return false;
    if (!OpenCtlFile(0))
        return false;
    try {
        taken = TakeLines(FCtlLinesNow);
    } catch (...) {
        CloseCtlFile();
        throw;
    }
    if (taken.isEmpty())
        CloseCtlFile();
    else
        SaveCtlFile();
    return !taken.isEmpty();
}

void TDocServer::WriteMarks(const TMarkList& marks) {
    if (marks.isEmpty())
        return;
    if (!OpenCtlFile(10))
        return;
    int changed = 0;
    try {
        changed = ApplyMarks(FCtlLinesNow, marks);
    } catch (...) {
        CloseCtlFile();
        throw;
    }
    if (changed > 0)
        SaveCtlFile();
    else
        CloseCtlFile();
}

QString TDocServer::DocFile(const QString& name) const {
    return DocFileName(DocFolder(), name, FDefFileExt ? FDefFileExt() : QStringLiteral("tif"));
}

void TDocServer::UpdateStatusText() {
    if (FEditMode)
        FHost.SetStateText(kStateEditing);
    else if (FActive)
        FHost.SetStateText(kStateActive);
    else if (FNamed)
        FHost.SetStateText(kStateViewing);
    else
        FHost.SetStateText(kStateStopped);
}

void TDocServer::SetHeldCommand(const QByteArray& line, bool editMode, bool opened) {
    SetServerActive(false);
    FHeldLine = line;
    FEditMode = editMode;
    if (!opened && !editMode)
        FHost.ShowError(QStringLiteral("Не могу открыть Файла риснука"));
    UpdateStatusText();
}

void TDocServer::SetHeldCommand() {
    FEditMode = false;
    FinishHeldCommand(FHost.HasSource() ? kMarkDone : kMarkFailed);
    FNamed = false;
    FHost.CloseDocument();
    UpdateStatusText();
}

void TDocServer::FinishHeldCommand(char mark) {
    if (FHeldLine.isEmpty())
        return;
    const TMarkList marks{{FHeldLine, mark}};
    FHeldLine.clear();
    WriteMarks(marks);
}

} // namespace gd
