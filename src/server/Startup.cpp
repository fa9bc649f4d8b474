#include "Startup.h"

#include "CtlFile.h"

#include "common/Exception.h"
#include "settings/Settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace gd {

const QString kRunningServerFound = QStringLiteral(
    "Найден работающий сервер печати!\rЕсли он не используется, рекомендуется его закрыть.");

QString ComputeInstanceName(const QString& programPath) {
    QString name = programPath.left(256);
    name.replace(u'\\', u'/');
    return name.toUpper();
}

TInstanceLock::TInstanceLock(QString instanceName, QString folder) {
    if (folder.isEmpty())
        folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    const QByteArray hash =
        QCryptographicHash::hash(instanceName.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    FPath =
        folder + QStringLiteral("/gdserver-") + QString::fromLatin1(hash) + QStringLiteral(".lock");
}

namespace {

// A lock on the whole file owned by the open file description: changing its
// type is one atomic step, and it goes when the last descriptor is closed.
int SetOfdLock(int fd, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Whether another description holds any lock on the file (a read-only file
// cannot take a write lock to find out).
bool OthersHoldOfdLock(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
}

} // namespace

void TInstanceLock::CheckSingleInstance() {
    if (FFd >= 0)
        return;
    const QByteArray path = QFile::encodeName(FPath);
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    const bool writable = fd >= 0;
    if (!writable)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Exception(kRunningServerFound);
    // A write lock taken without waiting tells whether anyone else holds it;
    // it then becomes a read lock without ever being let go, so two servers
    // started together cannot both find the file free. (Another user's file
    // opened read-only can only be asked, which is not atomic.)
    const bool alone = writable ? SetOfdLock(fd, F_WRLCK, false) == 0 : !OthersHoldOfdLock(fd);
    if (SetOfdLock(fd, F_RDLCK, true) != 0) {
        ::close(fd);
        throw Exception(kRunningServerFound);
    }
    FFd = fd;
    if (!alone)
        throw Exception(kRunningServerFound);
}

void TInstanceLock::ReleaseInstanceLock() {
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

namespace {

QString WithSeparator(const QString& folder) {
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

// Everything up to and including the last "/" as written; empty without one.
QString FolderPart(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? QString() : path.left(slash + 1);
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& args, TSettings& settings,
                              const SelectDocFolderFn& selectDocFolder) {
    TCommandLine cl;
    if (args.size() >= 1) {
        const QString& arg = args[0];
        if (arg.isEmpty() || !QFileInfo(arg).isDir())
            throw Exception(QStringLiteral("Папка \"%1\" не найдена").arg(arg));
        cl.FDocFolder = WithSeparator(arg);
    }
    if (args.size() >= 2) {
        const QString& arg = args[1];
        if (FolderPart(arg).compare(cl.FDocFolder, Qt::CaseInsensitive) == 0 &&
            QFileInfo(arg).suffix().compare(QStringLiteral("dde"), Qt::CaseInsensitive) == 0)
            throw Exception(QStringLiteral("Файл управления \"%1\"\rне может размещаться в "
                                           "папке документов\rили он должен иметь другое "
                                           "расширение")
                                .arg(arg));
        if (!IsPlainFile(arg)) // never a link, a FIFO or a hard link
            throw Exception(QStringLiteral("Не найден файл \"%1\"").arg(arg));
        cl.FCtlFile = QDir::cleanPath(QFileInfo(arg).absoluteFilePath());
    }
    if (cl.FDocFolder.isEmpty()) {
        QString folder = settings.PathIMG();
        if (!QFileInfo(folder).isDir())
            folder.clear();
        if (selectDocFolder &&
            selectDocFolder(QStringLiteral("Выберите папку документов:"), folder) &&
            !folder.isEmpty())
            cl.FDocFolder = WithSeparator(folder);
    }
    if (cl.FDocFolder.isEmpty())
        throw Exception(QStringLiteral("Не указана папка документов"));
    settings.SetPathIMG(cl.FDocFolder);
    cl.FClientBound = !cl.FCtlFile.isEmpty();
    return cl;
}

QString FreeNameInTempFolder(const QString& ext, const TickSource& ticks) {
    const QString folder = WithSeparator(QDir::tempPath());
    for (;;) {
        const QString hex = QStringLiteral("%1").arg(ticks(), 8, 16, QLatin1Char('0')).toUpper();
        const QString name = folder + hex + u'.' + ext;
        if (!QFileInfo::exists(name))
            return name;
    }
}

} // namespace gd
