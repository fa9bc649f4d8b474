#include "Watcher.h"

#include "CtlFile.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace gd {

std::int32_t PackFatTime(std::time_t t) {
    std::tm tm{};
    if (!::localtime_r(&t, &tm))
        return 0;
    const int year = tm.tm_year + 1900;
    if (year < 1980)
        return (1 << 5 | 1) << 16; // the FAT epoch, 1980-01-01 00:00:00
    const std::uint32_t date =
        static_cast<std::uint32_t>(((year - 1980) & 0x7F) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    const std::uint32_t time =
        static_cast<std::uint32_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    return static_cast<std::int32_t>(date << 16 | time);
}

bool IsCtlFileName(QByteArrayView name) {
    if (name.size() < 5 || name[0] == '.')
        return false;
    const QByteArrayView ext = name.last(4);
    return ext[0] == '.' && (ext[1] | 0x20) == 'd' && (ext[2] | 0x20) == 'd' &&
           (ext[3] | 0x20) == 'e';
}

namespace {

// Links are not followed and hard links not taken: a control file is written
// to, and must not lead to a file elsewhere.
std::optional<TFoundFile> StatCtlFile(int dfd, const char* name) {
    struct stat st {};
    if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_nlink != 1)
        return std::nullopt;
    return TFoundFile{DecodeFileName(name), PackFatTime(st.st_mtim.tv_sec)};
}

} // namespace

QList<TFoundFile> ListCtlFiles(const QString& folder) {
    QList<TFoundFile> found;
    const QByteArray path = EncodeFileName(folder);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return found;
    const int dfd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        if (!IsCtlFileName(e->d_name))
            continue;
        if (auto f = StatCtlFile(dfd, e->d_name))
            found.append(std::move(*f));
    }
    ::closedir(dir);
    return found;
}

std::optional<TFoundFile> FindCtlFile(const QString& folder, const QByteArray& name) {
    if (!IsCtlFileName(name) || name.contains('/'))
        return std::nullopt;
    QByteArray dir = EncodeFileName(folder);
    if (dir.isEmpty())
        dir = ".";
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return std::nullopt;
    auto f = StatCtlFile(dfd, name.constData());
    ::close(dfd);
    return f;
}

bool ChangeEventsReliable(const QString& folder) {
    const QByteArray poll = qgetenv("GDSERVER_POLL");
    if (!poll.isEmpty() && poll != "0")
        return false;
    struct statfs fs {};
    if (::statfs(EncodeFileName(folder).constData(), &fs) != 0)
        return false;
    // Another machine's writes raise no event on these.
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:     // NFS
    case 0x517B:     // SMB
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
    case 0x65735546: // FUSE
    case 0x00C36400: // Ceph
    case 0x01021997: // 9P
    case 0x5346414F: // AFS
    case 0x73757245: // Coda
    case 0x564C:     // NCP
    case 0x47504653: // GPFS
    case 0x013111A8: // IBRIX
        return false;
    default:
        return true;
    }
}

TFolderEvents::TFolderEvents(const QString& folder) {
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd < 0)
        return;
    // Not IN_CLOSE_WRITE: the server's own opening for reading and writing would
    // raise one at every cycle. Writes raise IN_MODIFY.
    constexpr std::uint32_t mask =
        IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
    if (::inotify_add_watch(FFd, EncodeFileName(folder).constData(), mask) < 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TFolderEvents::~TFolderEvents() {
    if (FFd >= 0)
        ::close(FFd);
}

QList<QByteArray> TFolderEvents::Read(bool& overflow) {
    QList<QByteArray> names;
    if (FFd < 0)
        return names;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t got = ::read(FFd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return names;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if (e->mask & IN_Q_OVERFLOW)
                overflow = true;
            if (e->len > 0)
                names.append(QByteArray(e->name));
            at += ssize_t(sizeof(inotify_event)) + e->len;
        }
    }
}

QList<TFoundFile> TKeptCtlList::List(const QString& folder) {
    QList<TFoundFile> found;
    const QByteArray path = EncodeFileName(folder);
    if (!FValid || folder != FFolder) {
        FNames.clear();
        DIR* dir = ::opendir(path.constData());
        if (!dir)
            return found;
        while (const dirent* e = ::readdir(dir))
            if (IsCtlFileName(e->d_name))
                FNames.append(QByteArray(e->d_name));
        ::closedir(dir);
        FFolder = folder;
        FValid = true;
    }
    // Looked at anew each time: a link count or a time changes without an
    // event for the folder.
    const int dfd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return found;
    for (const QByteArray& name : FNames)
        if (auto f = StatCtlFile(dfd, name.constData()))
            found.append(std::move(*f));
    ::close(dfd);
    return found;
}

void TKeptCtlList::Changed(const QByteArray& name) {
    if (!FValid || !IsCtlFileName(name) || name.contains('/'))
        return;
    struct stat st {};
    const bool exists =
        ::fstatat(AT_FDCWD, EncodeFileName(FFolder + DecodeFileName(name)).constData(), &st,
                  AT_SYMLINK_NOFOLLOW) == 0;
    const qsizetype at = FNames.indexOf(name);
    if (exists && at < 0)
        FNames.append(name);
    else if (!exists && at >= 0)
        FNames.removeAt(at);
}

QString TCtlWatcher::NextCtlFile(const QString& docFolder) {
    if (FCountdown < 1) {
        FCountdown = 10;
        ScanCtlFolder(docFolder);
    } else {
        --FCountdown;
    }
    while (!FSeen.isEmpty()) {
        const QString path = docFolder + FSeen.first().Name;
        if (PathExists(path)) {
            FSeen.append(FSeen.takeFirst());
            return path;
        }
        FSeen.removeFirst();
    }
    return QString();
}

void TCtlWatcher::ScanCtlFolder(const QString& docFolder) {
    const QList<TFoundFile> found = FLister(docFolder);
    const std::uint32_t now = FTicks();
    for (const TFoundFile& f : found) {
        auto seen = std::find_if(FSeen.begin(), FSeen.end(), [&](const TSeenFile& s) {
            return s.Name == f.Name; // Linux names differ in letter case
        });
        if (seen == FSeen.end()) {
            FSeen.append({f.Name, {f.Stamp, now}});
        } else if (seen->Flag.Stamp != f.Stamp) {
            seen->Flag = {f.Stamp, now};
        } else if (static_cast<std::uint32_t>(now - seen->Flag.Tick) > kStaleAge) {
            ::unlink(EncodeFileName(docFolder + f.Name).constData());
        }
    }
}

} // namespace gd
