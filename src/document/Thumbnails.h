#pragma once

// Thumbnails of a document's pages, decoded lazily on worker threads and
// kept in a cache bounded by bytes. No widgets: the page panel asks for the
// pages it shows and paints what arrives.

#include "document/GdipExt.h"

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace gd {

// Where a page's pixels come from: frame `Frame` of the file `File` (read
// by the worker through its own handle; a /proc/self/fd path for a file the
// document holds open), or a picture already in memory.
struct TThumbSource {
    QString File;
    int Frame = 0;
    QImage Image; // when not null, used instead of the file
    bool IsNone() const { return Image.isNull() && File.isEmpty(); }
};

// The source of page `index` of the list, taken on the GUI thread: a frame
// page names the handle the document's bitmap holds on its file and the
// frame (the shared source bitmap is never touched by a worker), a scanned
// page its own file's handle, any other page a copy of its picture. None for
// a page without image. The source is valid while the document stays open:
// Reset the loader before it is closed or replaced.
TThumbSource ThumbSourceOf(const TImagePages& pages, int index);

struct TThumbnailOptions {
    QSize Box{160, 160}; // device pixels the thumbnail fits into
    // The cache's limit: with its bookkeeping, thumbnails stay under 64 MB
    // for any page count (each worker's page being decoded comes on top
    // while it lasts: about 1 MB for an A4 300 dpi 1-bit page).
    qint64 CacheBytes = qint64(32) * 1024 * 1024;
    int Threads = 0; // 0: one per core
};

class TThumbnailLoader : public QObject {
    Q_OBJECT
public:
    explicit TThumbnailLoader(const TThumbnailOptions& options = {}, QObject* parent = nullptr);
    ~TThumbnailLoader() override; // cancels what is pending, joins the workers

    // Asks for page `page`'s thumbnail. A cached one is returned at once (and
    // is not signalled again); otherwise a null image is returned and
    // ThumbnailReady follows, unless the request is cancelled or the page
    // invalidated first. Pages are decoded in the order asked; asking again
    // for a page already on its way changes nothing.
    QImage Request(int page, const TThumbSource& source);
    // The cached thumbnail, or null.
    QImage Cached(int page);
    // Drops waiting requests for pages outside [first, last] (the pages no
    // longer visible); what a worker is decoding still arrives and is cached.
    void Retain(int first, int last);
    void Cancel(int page);
    // The page's content changed (edited, turned): its cached thumbnail goes,
    // and a thumbnail of the old content already on its way is dropped when
    // it arrives, so it never replaces the new one. Ask again for the page.
    void Invalidate(int page);
    // Every page from `first` on (pages inserted, moved or deleted there).
    void InvalidateFrom(int first);
    // Another document, or the same one reloaded: everything is forgotten
    // and the workers open the file again.
    void Reset();

    qint64 CacheBytes() const { return FCacheBytes; }
    qint64 CacheLimit() const { return FOptions.CacheBytes; }
    const TThumbnailOptions& Options() const { return FOptions; }
    int CachedCount() const { return int(FCache.size()); }
    int ThreadCount() const { return int(FWorkers.size()); }

signals:
    // On the loader's thread. A null thumbnail: the page cannot be shown.
    void ThumbnailReady(int page, const QImage& thumbnail);

private:
    struct TJob {
        int Page = 0;
        TThumbSource Source;
        quint64 Epoch = 0;
        quint64 Generation = 0;
    };
    struct TEntry {
        QImage Thumbnail;
        qint64 Bytes = 0;
        std::list<int>::iterator Use;
    };

    void Work();
    void Deliver(const TJob& job, const QImage& thumbnail);
    quint64 GenerationOf(int page) const;
    void Store(int page, const QImage& thumbnail);
    void Drop(int page);
    void Unask(const std::function<bool(int page)>& which); // queued requests only

    const TThumbnailOptions FOptions;
    std::vector<std::thread> FWorkers;

    // Shared with the workers, under FMutex.
    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<TJob> FQueue; // first asked, first decoded
    bool FStop = false;

    // GUI thread only. A page's generation grows whenever its content is
    // said to have changed; a thumbnail made for an older one is dropped.
    quint64 FEpoch = 0;
    quint64 FLastGeneration = 0;
    std::unordered_map<int, quint64> FGenerations;         // pages invalidated one by one
    std::vector<std::pair<int, quint64>> FFromGenerations; // (first page, generation)
    std::unordered_map<int, TEntry> FCache;
    std::list<int> FUse; // most recently used first
    qint64 FCacheBytes = 0;
    std::unordered_map<int, quint64> FAsked; // page -> generation asked, not yet delivered
};

} // namespace gd
