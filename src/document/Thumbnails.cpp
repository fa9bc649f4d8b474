#include "document/Thumbnails.h"

#include <QFile>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <sys/stat.h>

namespace gd {

namespace {
// What the cache's bookkeeping costs per entry, beyond the pixels.
constexpr qint64 kEntryOverhead = 128;

// The file a path leads to now; {0, 0} when none.
std::pair<dev_t, ino_t> FileIdOf(const QString& path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {0, 0};
    return {st.st_dev, st.st_ino};
}
} // namespace

TThumbSource ThumbSourceOf(const TImagePages& pages, int index) {
    TImagePage* page = pages.Get(index);
    TThumbSource source;
    // Through the handle the bitmap holds, never by name: a file renamed over
    // or deleted while shown still gives its own pages.
    if (!page->HasOwnImage()) {
        if (pages.FSource) {
            source.File = pages.FSource->OpenFilePath();
            source.Frame = page->FFrameIndex;
        }
    } else if (page->FBitmap) {
        source.File = page->FBitmap->OpenFilePath(); // a scanned page's own file
        if (source.File.isEmpty())
            source.Image = page->FBitmap->ToQImage(); // in memory already
    }
    return source;
}

TThumbnailLoader::TThumbnailLoader(const TThumbnailOptions& options, QObject* parent)
    : QObject(parent), FOptions(options) {
    const int cores = std::max(1, QThread::idealThreadCount());
    const int n = options.Threads > 0 ? std::min(options.Threads, cores) : cores;
    for (int i = 0; i < n; ++i)
        FWorkers.emplace_back([this] { Work(); });
}

TThumbnailLoader::~TThumbnailLoader() {
    {
        std::lock_guard lock(FMutex);
        FStop = true;
        FQueue.clear();
    }
    FWake.notify_all();
    for (std::thread& t : FWorkers)
        t.join();
    // Thumbnails still posted to this object are dropped with it.
}

quint64 TThumbnailLoader::GenerationOf(int page) const {
    quint64 g = 0;
    if (auto it = FGenerations.find(page); it != FGenerations.end())
        g = it->second;
    for (const auto& [first, generation] : FFromGenerations)
        if (page >= first)
            g = std::max(g, generation);
    return g;
}

QImage TThumbnailLoader::Request(int page, const TThumbSource& source) {
    if (auto it = FCache.find(page); it != FCache.end()) {
        FUse.splice(FUse.begin(), FUse, it->second.Use);
        return it->second.Thumbnail;
    }
    const quint64 generation = GenerationOf(page);
    if (auto it = FAsked.find(page); it != FAsked.end() && it->second == generation)
        return QImage();
    // A request for older content still waiting goes; one being decoded is
    // dropped when it arrives.
    if (FAsked.count(page))
        Unask([page](int p) { return p == page; });
    FAsked[page] = generation;
    {
        std::lock_guard lock(FMutex);
        FQueue.push_back(TJob{page, source, FEpoch, generation});
    }
    FWake.notify_one();
    return QImage();
}

QImage TThumbnailLoader::Cached(int page) {
    auto it = FCache.find(page);
    if (it == FCache.end())
        return QImage();
    FUse.splice(FUse.begin(), FUse, it->second.Use);
    return it->second.Thumbnail;
}

void TThumbnailLoader::Unask(const std::function<bool(int)>& which) {
    std::lock_guard lock(FMutex);
    auto end = std::remove_if(FQueue.begin(), FQueue.end(), [&](const TJob& job) {
        if (!which(job.Page))
            return false;
        if (auto it = FAsked.find(job.Page); it != FAsked.end() && it->second == job.Generation)
            FAsked.erase(it);
        return true;
    });
    FQueue.erase(end, FQueue.end());
}

void TThumbnailLoader::Retain(int first, int last) {
    Unask([first, last](int page) { return page < first || page > last; });
}

void TThumbnailLoader::Cancel(int page) {
    Unask([page](int p) { return p == page; });
}

void TThumbnailLoader::Invalidate(int page) {
    Cancel(page);
    FAsked.erase(page);
    FGenerations[page] = ++FLastGeneration;
    Drop(page);
}

void TThumbnailLoader::InvalidateFrom(int first) {
    Unask([first](int page) { return page >= first; });
    for (auto it = FAsked.begin(); it != FAsked.end();)
        it = it->first >= first ? FAsked.erase(it) : std::next(it);
    // A later range from further down only adds to an earlier one; one that
    // starts at or before it makes it needless.
    std::erase_if(FFromGenerations, [first](const auto& p) { return p.first >= first; });
    FFromGenerations.emplace_back(first, ++FLastGeneration);
    std::vector<int> gone;
    for (const auto& [page, entry] : FCache)
        if (page >= first)
            gone.push_back(page);
    for (int page : gone)
        Drop(page);
}

void TThumbnailLoader::Reset() {
    {
        std::lock_guard lock(FMutex);
        FQueue.clear();
    }
    ++FEpoch;
    FAsked.clear();
    FGenerations.clear();
    FFromGenerations.clear();
    FCache.clear();
    FUse.clear();
    FCacheBytes = 0;
}

void TThumbnailLoader::Store(int page, const QImage& thumbnail) {
    Drop(page);
    FUse.push_front(page);
    const qint64 bytes = thumbnail.sizeInBytes() + kEntryOverhead;
    FCache.emplace(page, TEntry{thumbnail, bytes, FUse.begin()});
    FCacheBytes += bytes;
    while (FCacheBytes > FOptions.CacheBytes && !FUse.empty())
        Drop(FUse.back());
}

void TThumbnailLoader::Drop(int page) {
    auto it = FCache.find(page);
    if (it == FCache.end())
        return;
    FCacheBytes -= it->second.Bytes;
    FUse.erase(it->second.Use);
    FCache.erase(it);
}

void TThumbnailLoader::Deliver(const TJob& job, const QImage& thumbnail) {
    if (job.Epoch != FEpoch || job.Generation != GenerationOf(job.Page))
        return; // made from content that has changed since
    if (auto it = FAsked.find(job.Page); it != FAsked.end() && it->second == job.Generation)
        FAsked.erase(it);
    Store(job.Page, thumbnail);
    emit ThumbnailReady(job.Page, thumbnail);
}

void TThumbnailLoader::Work() {
    // This worker's own handle on the document's file: a new open file
    // description of the one the document holds, so its offset is its own.
    std::unique_ptr<TGPBitmap> file;
    QString filePath;
    quint64 fileEpoch = 0;
    std::pair<dev_t, ino_t> fileId{0, 0};
    for (;;) {
        TJob job;
        {
            std::unique_lock lock(FMutex);
            FWake.wait(lock, [&] { return FStop || !FQueue.empty(); });
            if (FStop)
                return;
            job = std::move(FQueue.front());
            FQueue.pop_front();
        }
        QImage thumbnail;
        if (!job.Source.Image.isNull()) {
            thumbnail = FitImage(job.Source.Image, FOptions.Box);
        } else if (!job.Source.File.isEmpty()) {
            // A descriptor number is reused once its file is closed (a
            // scanned page replaced): the handle is kept only for the same file.
            if (!file || filePath != job.Source.File || fileEpoch != job.Epoch ||
                FileIdOf(job.Source.File) != fileId) {
                file = TGPBitmap::FromFile(job.Source.File);
                filePath = job.Source.File;
                fileEpoch = job.Epoch;
                fileId = FileIdOf(file->OpenFilePath());
            }
            if (file->SelectActiveFrame(job.Source.Frame) == GpStatus::Ok) {
                thumbnail = FitImage(file->ToQImage(), FOptions.Box);
                // Selecting again lets the decoded page go now, not at the next job.
                file->SelectActiveFrame(job.Source.Frame);
            }
        }
        job.Source = TThumbSource(); // the page's picture need not wait with the result
        QMetaObject::invokeMethod(
            this, [this, job = std::move(job), thumbnail] { Deliver(job, thumbnail); },
            Qt::QueuedConnection);
    }
}

} // namespace gd
