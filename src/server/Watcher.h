#pragma once

#include "common/Ticks.h"

#include <QList>
#include <QString>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>

namespace gd {

// One control file seen in the documents folder: its last-write stamp and
// the tick of the scan that first saw that stamp.
struct TTimeFlag {
    std::int32_t Stamp = 0;
    std::uint32_t Tick = 0;
};

// A control file found by a folder search.
struct TFoundFile {
    QString Name;
    std::int32_t Stamp = 0;
};

// Local time packed as the FAT file system does: date in the high 16 bits,
// time in the low 16 bits, 2-second resolution.
std::int32_t PackFatTime(std::time_t t);

// The folder search: plain files "*.dde" (extension in any letter case; see
// IsPlainFile: no links, no hard links, nothing but regular files), hidden
// files (a leading ".") left out; names as the file system's bytes
// (DecodeFileName); an unreadable folder yields nothing.
using CtlFolderLister = std::function<QList<TFoundFile>(const QString& folder)>;
QList<TFoundFile> ListCtlFiles(const QString& folder);
// Whether a bare name is one the search would look at: "*.dde" in any letter
// case, not hidden.
bool IsCtlFileName(QByteArrayView name);
// The same test for one name of a folder: its entry when it is a control
// file the search would find, nullopt otherwise.
std::optional<TFoundFile> FindCtlFile(const QString& folder, const QByteArray& name);

// Whether change events (inotify) see every change in the folder: false on
// network and user-space file systems (NFS, SMB/CIFS, FUSE and the like),
// where another machine's writes raise no event, and whenever the
// environment variable GDSERVER_POLL is set to a non-empty value other than
// "0" (it forces the polling path, for tests and operators).
bool ChangeEventsReliable(const QString& folder);

// An inotify watch over one folder: names written, created, deleted or moved
// in it, and the queue's overflow.
class TFolderEvents {
public:
    explicit TFolderEvents(const QString& folder);
    ~TFolderEvents();
    TFolderEvents(const TFolderEvents&) = delete;
    TFolderEvents& operator=(const TFolderEvents&) = delete;

    bool Valid() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    // Every pending event, without blocking: the names in order (repeats
    // included); overflow is set when events were lost.
    QList<QByteArray> Read(bool& overflow);

private:
    int FFd = -1;
};

// The control files of a folder kept from its change events: the folder is
// read once, and again only after the events overflowed; otherwise each
// created, deleted or moved name is looked up alone. Each listing looks at
// the kept names only (lstat), so its cost follows the number of control
// files, not of documents. Order: as read, then in order of appearance.
class TKeptCtlList {
public:
    QList<TFoundFile> List(const QString& folder);
    void Changed(const QByteArray& name);
    void Overflowed() { FValid = false; }

private:
    bool FValid = false;
    QString FFolder;
    QList<QByteArray> FNames; // "*.dde" entries of any kind
};

// The watch over the documents folder in folder mode.
class TCtlWatcher {
public:
    struct TSeenFile {
        QString Name;
        TTimeFlag Flag;
    };

    // Files unchanged longer than this (milliseconds) are deleted.
    static constexpr std::uint32_t kStaleAge = 600000;

    TCtlWatcher(CtlFolderLister lister, TickSource ticks)
        : FLister(std::move(lister)), FTicks(std::move(ticks)) {}

    // Counts down to the next scan (the first call scans, then every
    // eleventh), then picks the next existing file in rotation; returns its
    // full path, or empty when no control file is left.
    QString NextCtlFile(const QString& docFolder);
    void ScanCtlFolder(const QString& docFolder);

    const QList<TSeenFile>& SeenFiles() const { return FSeen; }
    int ScanCountdown() const { return FCountdown; }

private:
    CtlFolderLister FLister;
    TickSource FTicks;
    QList<TSeenFile> FSeen;
    int FCountdown = 0;
};

} // namespace gd
