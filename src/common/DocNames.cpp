#include "common/DocNames.h"

#include "common/SysError.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gd {

bool IsSafeDocName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

QString DocFileName(const QString& folder, const QString& name, const QString& defaultExt) {
    const QString base =
        (folder.isEmpty() || folder.endsWith(u'/') ? folder : folder + u'/') + name + u'.';
    for (const char* ext : {"tif", "bmp", "jpg"}) {
        const QString path = base + QLatin1String(ext);
        if (QFileInfo(path).isFile())
            return path;
    }
    return base + defaultExt;
}

bool DocFileInFolder(const QString& folder, const QString& path) {
    const QFileInfo file(path);
    if (!file.isSymLink())
        return true; // the name itself has no folder part: it is in the folder
    const QString real = file.canonicalFilePath(); // empty for a link to nothing
    QString canonical = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty() || canonical.isEmpty() || !QFileInfo(real).isFile())
        return false;
    if (!canonical.endsWith(u'/'))
        canonical += u'/';
    return real.startsWith(canonical);
}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        FFd = other.Release();
    }
    return *this;
}

QString TFileHandle::ProcPath() const {
    return FFd < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(FFd);
}

int TFileHandle::Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
}

void TFileHandle::Close() {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

namespace {

// The real path of a file system object, or of an open descriptor's file.
QByteArray RealPath(const QByteArray& path) {
    char buf[PATH_MAX];
    if (!::realpath(path.constData(), buf))
        return QByteArray();
    return QByteArray(buf);
}

} // namespace

TFileHandle OpenDocFileInFolder(const QString& folder, const QString& path, QString* why) {
    const auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return TFileHandle();
    };
    // Non-blocking: a FIFO put in the file's place must not hang the open.
    TFileHandle file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.IsOpen())
        return fail(SystemErrorText(errno));
    struct stat st {};
    if (::fstat(file.Fd(), &st) != 0)
        return fail(SystemErrorText(errno));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("это не обычный файл"));
    const int flags = ::fcntl(file.Fd(), F_GETFL);
    if (flags < 0 || ::fcntl(file.Fd(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(SystemErrorText(errno));
    // Where the opened file really is, not where its name led a moment ago.
    const QByteArray real = RealPath(QFile::encodeName(file.ProcPath()));
    QByteArray inside = RealPath(QFile::encodeName(folder));
    if (real.isEmpty() || inside.isEmpty())
        return fail(SystemErrorText(errno ? errno : ENOENT));
    if (!inside.endsWith('/'))
        inside += '/';
    if (!real.startsWith(inside))
        return fail(QStringLiteral("файл находится вне папки документов"));
    return file;
}

} // namespace gd
