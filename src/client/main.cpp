// gdclient: appends one request to a control file and, when asked, waits for
// its outcome. Exit status: 0 carried out ("<"), 1 refused or failed ("#"),
// 2 timeout or error.
#include "server/CtlFile.h"
#include "server/Watcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitError = 2;

int Fail(const QString& message) {
    std::fprintf(stderr, "gdclient: %s\n", message.toLocal8Bit().constData());
    return kExitError;
}

int Usage() {
    std::fprintf(stderr, "usage: gdclient CONTROL-FILE 'COMMAND-TEXT' [--wait SECONDS]\n");
    return kExitError;
}

// 34 characters: 16 hex digits of a random request id, a blank, and the
// local time to the millisecond.
QByteArray MakeRequestId() {
    const quint64 id = QRandomGenerator::system()->generate64();
    QByteArray text =
        QByteArray::number(id, 16).rightJustified(16, '0') + ' ' +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmsszzz")).toLatin1();
    return text.leftJustified(gd::kClientChars, ' ', true);
}

// The mark of our line, or 0 while the file cannot be read or the line is
// not there (the server may be rewriting the file at this moment).
char CurrentMark(const QString& path, const QByteArray& line) {
    const QByteArray name = gd::EncodeFileName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const QByteArray data = gd::ReadToEnd(fd).value_or(QByteArray());
    ::close(fd);
    const QByteArray body = gd::FoldCase(QByteArrayView(line).sliced(1));
    for (const QByteArray& l : gd::ReadCtlLines(data))
        if (l.size() == line.size() && gd::FoldCase(QByteArrayView(l).sliced(1)) == body)
            return l[0];
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // From argv itself: a file name keeps its bytes even when they are no UTF-8.
    int waitSeconds = -1;
    QList<QByteArray> positional;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--wait") {
            bool ok = false;
            if (i + 1 >= argc || (waitSeconds = QByteArray(argv[++i]).toInt(&ok), !ok) ||
                waitSeconds < 0)
                return Usage();
        } else {
            positional.append(arg);
        }
    }
    if (positional.size() != 2)
        return Usage();
    const QString path = gd::DecodeFileName(positional[0]);
    const std::optional<QByteArray> command = gd::ToCp1251(QString::fromLocal8Bit(positional[1]));
    if (!command)
        return Fail(QStringLiteral("the command text has characters outside code page 1251"));
    if (command->contains('\r') || command->contains('\n') || command->contains('\0'))
        return Fail(QStringLiteral("the command text must be one line"));

    const QByteArray line = gd::kMarkWaiting + MakeRequestId() + *command;
    if (const QString error = gd::AppendCtlLine(path, line); !error.isEmpty())
        return Fail(error);
    if (waitSeconds < 0)
        return kExitDone;

    QDeadlineTimer deadline(static_cast<qint64>(waitSeconds) * 1000);
    // Woken by a change of the file where the file system reports changes
    // (the folder is watched: the file may be replaced); the poll every
    // 50 ms stays as the fallback.
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString folder = slash < 0 ? QStringLiteral(".") : path.left(slash + 1);
    const QByteArray name = gd::EncodeFileName(path.mid(slash + 1));
    std::optional<gd::TFolderEvents> events;
    if (gd::ChangeEventsReliable(folder))
        events.emplace(folder);
    char mark = 0;
    for (;;) {
        if (const char now = CurrentMark(path, line))
            mark = now;
        if (mark == gd::kMarkDone || mark == gd::kMarkFailed || deadline.hasExpired())
            break;
        const int ms = static_cast<int>(std::min<qint64>(50, deadline.remainingTime()));
        if (events && events->Valid()) {
            pollfd pfd{events->Fd(), POLLIN, 0};
            bool changed = false;
            while (!changed && ::poll(&pfd, 1, ms) > 0) {
                bool overflow = false;
                const bool ours = events->Read(overflow).contains(name);
                changed = ours || overflow;
            }
        } else {
            QThread::msleep(static_cast<unsigned long>(ms));
        }
    }
    std::printf("%c\n", mark ? mark : '?');
    if (mark == gd::kMarkDone)
        return kExitDone;
    if (mark == gd::kMarkFailed)
        return kExitFailed;
    return kExitError;
}
