#include "ProtocolSupport.h"

#include <QFile>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gdtest {

QByteArray Request(const QByteArray& command, const QByteArray& tag, char mark) {
    return mark + tag.leftJustified(34, '.', true) + command;
}

LockHolder::LockHolder(const QString& path, int seconds) {
    const QByteArray file = QFile::encodeName(path);
    const QByteArray sleepFor = QByteArray::number(seconds);
    int ready[2];
    if (::pipe(ready) != 0)
        return;
    FPid = ::fork();
    if (FPid == 0) {
        ::close(ready[0]);
        const QByteArray script = "exec 9<>\"$0\"; flock -x 9; echo >&" +
                                  QByteArray::number(ready[1]) + "; exec sleep " + sleepFor;
        ::execlp("bash", "bash", "-c", script.constData(), file.constData(), nullptr);
        ::_exit(127);
    }
    ::close(ready[1]);
    char c;
    // Returns once the lock is held (the child writes a line).
    while (::read(ready[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
}

void LockHolder::Release() {
    if (FPid > 0) {
        ::kill(FPid, SIGKILL);
        int status;
        ::waitpid(FPid, &status, 0);
        FPid = -1;
    }
}

} // namespace gdtest
