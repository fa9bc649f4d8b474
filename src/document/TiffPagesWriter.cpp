#include "document/TiffPagesWriter.h"

#include "common/Exception.h"
#include "document/TiffIo.h"
#include "document/TiffWrite.h"

#include <QFile>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace gd {
namespace {

// Appends the one directory of the in-memory TIFF to `out`.
bool AppendEncodedPage(TIFF* out, TTiffMemory& page) {
    TTiffPtr in = OpenTiffMemory(page, "rm");
    return in && CopyTiffDirectory(in.get(), out);
}

// A frame stored exactly as it would be written (G4 bilevel, upright, in
// strips) is copied compressed instead of decoded and encoded again.
bool CopyableAsItIs(TIFF* tif) {
    uint16_t compression = 0, bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG,
             fill = FILLORDER_MSB2LSB, orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_FILLORDER, &fill);
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation);
    return compression == COMPRESSION_CCITTFAX4 && bps == 1 && spp == 1 &&
           (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK) &&
           planar == PLANARCONFIG_CONTIG && fill == FILLORDER_MSB2LSB &&
           orientation == ORIENTATION_TOPLEFT && !TIFFIsTiled(tif);
}

// A frame in strips whose compression no codec here reads: it cannot be
// decoded, but its data can be copied as it is.
bool UnknownCompression(TIFF* tif) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    return !TIFFIsCODECConfigured(compression) && !TIFFIsTiled(tif);
}

// ---- The parallel save -------------------------------------------------------------

// What a worker needs to decode one page without touching the page list.
struct TPageJob {
    TGPBitmap* Own = nullptr; // the page's own bitmap
    int Frame = -1;           // else a frame of the source file
    bool Raw = false;         // the frame is copied compressed by the writer
    bool NoImage = false;     // neither: the page cannot be written
};

enum class TPageState { Pending, Encoded, Raw, Failed };

struct TPageResult {
    TPageState State = TPageState::Pending;
    TTiffMemory Tiff;
    QString Why; // of a page that failed, for the user; empty for a write error
};

class TParallelTiffWriter {
public:
    TParallelTiffWriter(std::vector<TPageJob> jobs, QString sourceFile, int threads)
        : FJobs(std::move(jobs)), FSourceFile(std::move(sourceFile)), FResults(FJobs.size()),
          FThreads(std::max(1, threads)),
          // Pages encoded ahead of the writer: enough to keep every thread
          // busy, few enough that memory stays bounded.
          FWindow(2 * std::max(1, threads)) {}

    // `source`: the source file open in libtiff, for the frames copied as
    // they are. A page that cannot be written stops the run; its reason is
    // then PageError().
    int Run(TIFF* out, TIFF* source, const std::function<void(int, int)>& progress) {
        std::vector<std::thread> workers;
        for (int i = 0; i < FThreads; ++i)
            workers.emplace_back([this] { Work(); });
        int written = 0;
        bool ok = true;
        const int n = int(FJobs.size());
        for (int i = 0; i < n && ok; ++i) {
            TPageResult result;
            {
                std::unique_lock lock(FMutex);
                FChanged.wait(lock,
                              [&] { return FResults[size_t(i)].State != TPageState::Pending; });
                result = std::move(FResults[size_t(i)]);
                FResults[size_t(i)] = TPageResult();
                FWritten = i + 1;
            }
            FChanged.notify_all();
            if (result.State == TPageState::Failed) {
                ok = false;
                if (!result.Why.isEmpty())
                    FPageError = PageNotSaved(i, result.Why);
            } else if (result.State == TPageState::Encoded) {
                ok = AppendEncodedPage(out, result.Tiff);
                if (ok)
                    ++written;
            } else if (result.State == TPageState::Raw) {
                ok = source && TIFFSetDirectory(source, tdir_t(FJobs[size_t(i)].Frame)) == 1 &&
                     CopyTiffDirectory(source, out);
                if (!ok)
                    FPageError =
                        PageNotSaved(i, QStringLiteral("не удалось скопировать её данные"));
                if (ok)
                    ++written;
            }
            if (ok && progress)
                progress(i + 1, n);
        }
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
        for (std::thread& t : workers)
            t.join();
        return ok ? written : -1;
    }

    const QString& PageError() const { return FPageError; }

private:
    void Work() {
        std::unique_ptr<TGPBitmap> source; // this thread's own handle on the file
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock lock(FMutex);
                FChanged.wait(lock, [&] {
                    return FStop || FNext >= FJobs.size() || FNext < size_t(FWritten + FWindow);
                });
                if (FStop || FNext >= FJobs.size())
                    return;
                index = FNext++;
            }
            TPageResult result;
            try {
                result = Encode(FJobs[index], source);
            } catch (...) {
                result.State = TPageState::Failed;
            }
            {
                std::lock_guard lock(FMutex);
                FResults[index] = std::move(result);
            }
            FChanged.notify_all();
        }
    }

    TPageResult Encode(const TPageJob& job, std::unique_ptr<TGPBitmap>& source) {
        TPageResult result;
        if (job.Raw) {
            result.State = TPageState::Raw;
            return result;
        }
        if (job.NoImage) {
            result.State = TPageState::Failed;
            result.Why = QStringLiteral("у неё нет изображения");
            return result;
        }
        TGPBitmap* bitmap = job.Own;
        std::unique_ptr<TGPBitmap> fresh;
        if (bitmap && !bitmap->FileName().isEmpty()) {
            // A scanned page's file: decoded through a handle of our own, so
            // the page does not keep the decoded frame after the save.
            fresh = TGPBitmap::FromFile(bitmap->FileName());
            bitmap = fresh.get();
        }
        if (!bitmap && job.Frame >= 0) {
            if (!source)
                source = TGPBitmap::FromFile(FSourceFile);
            if (job.Frame >= source->GetFrameCount()) {
                result.State = TPageState::Failed;
                return result;
            }
            source->SelectActiveFrame(job.Frame);
            bitmap = source.get();
        }
        QImage image = bitmap ? bitmap->ToQImage() : QImage();
        if (image.isNull() || bitmap->FrameStatus() != GpStatus::Ok) {
            // Never left out nor written in part: the save stops.
            result.State = TPageState::Failed;
            result.Why =
                !bitmap ? QStringLiteral("у неё нет изображения") : FrameFailureText(*bitmap);
            if (result.Why.isEmpty())
                result.Why = QStringLiteral("её изображение не читается");
            return result;
        }
        const int compression = BitsPerPixel(bitmap->GetPixelFormat()) == 1
                                    ? EncoderValueCompressionCCITT4
                                    : EncoderValueCompressionLZW;
        const double dpiX = bitmap->GetHorizontalResolution();
        const double dpiY = bitmap->GetVerticalResolution();
        TTiffPtr tif = OpenTiffMemory(result.Tiff, "wm");
        bool ok = tif && WriteTiffFrame(tif.get(), std::move(image), dpiX, dpiY, compression);
        tif.reset(); // flushed into result.Tiff
        result.State = ok ? TPageState::Encoded : TPageState::Failed;
        return result;
    }

    const std::vector<TPageJob> FJobs;
    const QString FSourceFile;
    QString FPageError;
    std::vector<TPageResult> FResults;
    const int FThreads;
    const int FWindow;
    std::mutex FMutex;
    std::condition_variable FChanged;
    size_t FNext = 0;
    int FWritten = 0;
    bool FStop = false;
};

} // namespace

QString PageNotSaved(int index, const QString& why) {
    return QString::asprintf("Страница %d не может быть сохранена: ", index + 1) + why;
}

int WriteTiffPages(TImagePages& pages, const QString& path, int threads,
                   const std::function<void(int, int)>& progress, bool copyCompressed) {
    // The document's file as it was opened, whatever became of its name.
    const QString source = pages.FSource ? pages.FSource->OpenFilePath() : QString();
    TTiffPtr sourceTiff = !source.isEmpty() ? OpenTiffFile(source, "rm") : nullptr;
    std::vector<TPageJob> jobs;
    jobs.reserve(size_t(pages.Count()));
    for (int i = 0; i < pages.Count(); ++i) {
        TImagePage* page = pages.Get(i);
        TPageJob job;
        if (page->FBitmap)
            job.Own = page->FBitmap.get();
        else if (pages.FSource && !page->HasOwnImage())
            job.Frame = page->FFrameIndex;
        else
            job.NoImage = true;
        job.Raw = job.Frame >= 0 && sourceTiff &&
                  TIFFSetDirectory(sourceTiff.get(), tdir_t(job.Frame)) == 1 &&
                  ((copyCompressed && CopyableAsItIs(sourceTiff.get())) ||
                   UnknownCompression(sourceTiff.get()));
        jobs.push_back(job);
    }
    if (threads <= 0)
        threads = std::max(1, QThread::idealThreadCount());
    threads = std::min<int>(threads, std::max<int>(1, int(jobs.size())));

    TTiffPtr out = OpenTiffFile(path, "w");
    if (!out)
        return -1;
    TParallelTiffWriter writer(std::move(jobs), source, threads);
    int written = writer.Run(out.get(), sourceTiff.get(), progress);
    if (written > 0 && TIFFFlush(out.get()) != 1)
        written = -1;
    out.reset();
    sourceTiff.reset();
    if (written <= 0) {
        QFile::remove(path);
        if (!writer.PageError().isEmpty())
            throw Exception(writer.PageError());
        return -1;
    }
    return written;
}

} // namespace gd
