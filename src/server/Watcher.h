#pragma once

#include "common/Ticks.h"

#include <QList>
#include <QString>
#include <cstdint>
#include <ctime>
#include <functional>

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
