#include "Watcher.h"

#include "CtlFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

QList<TFoundFile> ListCtlFiles(const QString& folder) {
    QList<TFoundFile> found;
    const QByteArray path = EncodeFileName(folder);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return found;
    const int dfd = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const QByteArrayView name(e->d_name);
        if (name.size() < 5 || name[0] == '.')
            continue;
        const QByteArrayView ext = name.last(4);
        if (ext[0] != '.' || (ext[1] | 0x20) != 'd' || (ext[2] | 0x20) != 'd' ||
            (ext[3] | 0x20) != 'e')
            continue;
        // Links are not followed and hard links not taken: a control file is
        // written to, and must not lead to a file elsewhere.
        struct stat st {};
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink != 1)
            continue;
        found.append({DecodeFileName(e->d_name), PackFatTime(st.st_mtim.tv_sec)});
    }
    ::closedir(dir);
    return found;
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
