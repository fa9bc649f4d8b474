#include "DocServer.h"

#include "common/Exception.h"

#include <QDeadlineTimer>
#include <QFileInfo>
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
      FSeams(std::move(seams)), FWatcher(FSeams.ListFolder, FSeams.Ticks),
      FTimer(new QTimer(this)) {
    FTimer->setObjectName(QStringLiteral("TimerCommand"));
    FTimer->setInterval(kTimerInterval);
    connect(FTimer, &QTimer::timeout, this, &TDocServer::TimerCommandTimer);
    if (FCommandLine.FClientBound)
        FCtlFileNow = FCommandLine.FCtlFile;
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

QString TDocServer::DocFileName(const QString& name) const {
    const QString base = DocFolder() + name + u'.';
    for (const char* ext : {"tif", "bmp", "jpg"}) {
        const QString path = base + QLatin1String(ext);
        if (QFileInfo(path).isFile())
            return path;
    }
    return base + (FDefFileExt ? FDefFileExt() : QStringLiteral("tif"));
}

bool TDocServer::DocFileInFolder(const QString& path) const {
    const QFileInfo file(path);
    if (!file.isSymLink())
        return true; // the name itself has no folder part: it is in the folder
    const QString real = file.canonicalFilePath(); // empty for a link to nothing
    QString folder = QFileInfo(DocFolder()).canonicalFilePath();
    if (real.isEmpty() || folder.isEmpty() || !QFileInfo(real).isFile())
        return false;
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return real.startsWith(folder);
}

void TDocServer::SetDocName(const QString& name) {
    FDocName = name;
    FHost.SetPathLine(name.isEmpty() ? DocFolder() : DocFileName(name));
}

bool TDocServer::IsSafeDocName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

void TDocServer::UpdateStatusText() {
    if (FEditMode)
        FHost.SetStateText(kStateEditing);
    else if (FActive)
        FHost.SetStateText(kStateActive);
    else if (!FDocName.isEmpty())
        FHost.SetStateText(kStateViewing);
    else
        FHost.SetStateText(kStateStopped);
}

void TDocServer::SetHeldCommand(const QByteArray& line, bool editMode) {
    SetServerActive(false);
    FHeldLine = line;
    FEditMode = editMode;
    if (!FHost.HasSource() && !editMode)
        FHost.ShowError(QStringLiteral("Не могу открыть Файла риснука"));
    UpdateStatusText();
}

void TDocServer::SetHeldCommand() {
    FEditMode = false;
    FinishHeldCommand(FHost.HasSource() ? kMarkDone : kMarkFailed);
    SetDocName(QString());
    FHost.ReloadDocument();
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
