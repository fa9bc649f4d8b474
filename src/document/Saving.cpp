#include "document/Saving.h"

#include "common/Exception.h"
#include "common/Ticks.h"
#include "document/Loading.h"
#include "document/TiffWrite.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace gd {
namespace {

const char* const kVariants[] = {".tif", ".bmp", ".jpg"};

QString SaveFailed(const QString& path) {
    return QStringLiteral("Не удалось сохранить документ \"%1\"")
        .arg(QDir::toNativeSeparators(path));
}

// The path with its extension (if any) replaced by ext.
QString WithExtension(const QString& path, const QString& ext) {
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype dot = path.lastIndexOf(u'.');
    return (dot > slash ? path.left(dot) : path) + ext;
}

// Pushes the file's data (or a folder's entries) to the disk.
bool SyncPath(const QString& path, bool folder) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), folder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Moves the completely written file `temp` over `target`. The rename is
// atomic: readers see the old file or the new one.
bool ReplaceFile(const QString& temp, const QString& target) {
    if (!SyncPath(temp, false))
        return false;
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) !=
        0)
        return false;
    SyncPath(QFileInfo(target).absolutePath(), true);
    return true;
}

void DeleteOtherVariants(const QString& path, const QString& keptExt) {
    for (const char* ext : kVariants)
        if (keptExt != QLatin1String(ext))
            QFile::remove(WithExtension(path, QLatin1String(ext)));
}

bool WriteWholeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool ok = f.write(data) == data.size() && f.flush();
    f.close();
    if (!ok || f.error() != QFileDevice::NoError) {
        QFile::remove(path);
        return false;
    }
    return true;
}

// ---- One page as a TIFF in memory ----------------------------------------------

struct TMemFile {
    std::vector<char> Data;
    toff_t Pos = 0;
};

tmsize_t MemRead(thandle_t h, void* buf, tmsize_t size) {
    auto* m = static_cast<TMemFile*>(h);
    if (m->Pos >= m->Data.size())
        return 0;
    const tmsize_t n = std::min<tmsize_t>(size, tmsize_t(m->Data.size() - m->Pos));
    std::memcpy(buf, m->Data.data() + m->Pos, size_t(n));
    m->Pos += toff_t(n);
    return n;
}

tmsize_t MemWrite(thandle_t h, void* buf, tmsize_t size) {
    auto* m = static_cast<TMemFile*>(h);
    if (m->Pos + toff_t(size) > m->Data.size())
        m->Data.resize(size_t(m->Pos + toff_t(size)));
    std::memcpy(m->Data.data() + m->Pos, buf, size_t(size));
    m->Pos += toff_t(size);
    return size;
}

toff_t MemSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<TMemFile*>(h);
    const toff_t base = whence == SEEK_CUR ? m->Pos : whence == SEEK_END ? m->Data.size() : 0;
    m->Pos = base + off;
    return m->Pos;
}

int MemClose(thandle_t) {
    return 0;
}

toff_t MemSize(thandle_t h) {
    return static_cast<TMemFile*>(h)->Data.size();
}

int MemMap(thandle_t, void**, toff_t*) {
    return 0;
}

void MemUnmap(thandle_t, void*, toff_t) {}

int Quiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

TIFF* OpenTiff(const char* name, const char* mode, TMemFile* mem) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, Quiet, nullptr);
    TIFF* tif = mem ? TIFFClientOpenExt(name, mode, mem, MemRead, MemWrite, MemSeek, MemClose,
                                        MemSize, MemMap, MemUnmap, opts)
                    : TIFFOpenExt(name, mode, opts);
    TIFFOpenOptionsFree(opts);
    return tif;
}

// Appends the current directory of `in` to `out`, its compressed strips
// copied as they are.
bool CopyDirectory(TIFF* in, TIFF* out) {
    bool ok = true;
    auto copy32 = [&](ttag_t tag) {
        uint32_t v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    auto copy16 = [&](ttag_t tag) {
        uint16_t v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    auto copyFloat = [&](ttag_t tag) {
        float v = 0;
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    };
    copy32(TIFFTAG_IMAGEWIDTH);
    copy32(TIFFTAG_IMAGELENGTH);
    copy16(TIFFTAG_BITSPERSAMPLE);
    copy16(TIFFTAG_SAMPLESPERPIXEL);
    copy16(TIFFTAG_PHOTOMETRIC);
    copy16(TIFFTAG_PLANARCONFIG);
    copy16(TIFFTAG_COMPRESSION);
    copy32(TIFFTAG_ROWSPERSTRIP);
    copy16(TIFFTAG_RESOLUTIONUNIT);
    copyFloat(TIFFTAG_XRESOLUTION);
    copyFloat(TIFFTAG_YRESOLUTION);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(in, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_LZW)
        copy16(TIFFTAG_PREDICTOR);
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount > 0)
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, extraCount, extra);
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue))
        TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);

    std::vector<char> buf;
    const uint32_t strips = TIFFNumberOfStrips(in);
    for (uint32_t s = 0; ok && s < strips; ++s) {
        const tmsize_t size = TIFFRawStripSize(in, s);
        if (size < 0) {
            ok = false;
            break;
        }
        buf.resize(size_t(std::max<tmsize_t>(size, 1)));
        const tmsize_t got = size > 0 ? TIFFReadRawStrip(in, s, buf.data(), size) : 0;
        ok = got == size && TIFFWriteRawStrip(out, s, buf.data(), size) == size;
    }
    return ok && TIFFWriteDirectory(out) == 1;
}

// Appends the one directory of the in-memory TIFF to `out`.
bool AppendEncodedPage(TIFF* out, TMemFile& page) {
    page.Pos = 0;
    TIFF* in = OpenTiff("page", "rm", &page);
    if (!in)
        return false;
    const bool ok = CopyDirectory(in, out);
    TIFFClose(in);
    return ok;
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
    TMemFile Tiff;
    QString Why; // of a page that failed, for the user; empty for a write error
};

QString PageNotSaved(int index, const QString& why) {
    return QString::asprintf("Страница %d не может быть сохранена: ", index + 1) + why;
}

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
                     CopyDirectory(source, out);
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
        TIFF* tif = OpenTiff("page", "wm", &result.Tiff);
        bool ok = tif && WriteTiffFrame(tif, std::move(image), dpiX, dpiY, compression);
        if (tif)
            TIFFClose(tif);
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

// The first page, the one a single-image format keeps, as a picture of its
// own; throws when it has no image or it does not decode.
QImage FirstPicture(TImagePages& pages) {
    TGPBitmap* b = pages.Get(0)->GetBitmap();
    QImage img = b ? b->ToQImage() : QImage();
    if (img.isNull() || b->FrameStatus() != GpStatus::Ok) {
        const QString why = b ? FrameFailureText(*b) : QString();
        throw Exception(
            PageNotSaved(0, why.isEmpty() ? QStringLiteral("у неё нет изображения") : why));
    }
    // Keep the page's resolution in the written file.
    img.setDotsPerMeterX(qRound(b->GetHorizontalResolution() / 0.0254));
    img.setDotsPerMeterY(qRound(b->GetVerticalResolution() / 0.0254));
    return img;
}

bool WriteSingleImage(const QImage& picture, const QString& path, const char* format,
                      std::optional<int> quality) {
    if (picture.isNull())
        return false;
    QImage img = picture;
    if (qstrcmp(format, "jpeg") == 0 &&
        (img.format() == QImage::Format_Mono || img.format() == QImage::Format_MonoLSB))
        img = img.convertToFormat(QImage::Format_Grayscale8);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter w(&buffer, format);
    if (quality)
        w.setQuality(std::clamp(*quality, 0, 100));
    if (!w.write(img))
        return false;
    return WriteWholeFile(path, data);
}

} // namespace

QString TempFileBeside(const QString& folder) {
    QString base = folder;
    if (!base.endsWith(u'/'))
        base += u'/';
    quint64 tick = MonotonicTicks();
    for (;;) {
        const QString name =
            base +
            QStringLiteral("~%1.tmp").arg(tick & 0xFFFFFFFFu, 8, 16, QLatin1Char('0')).toUpper();
        if (!QFileInfo::exists(name))
            return name;
        ++tick;
    }
}

QString DocumentExtension(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == u"tif" || suffix == u"tiff")
        return QStringLiteral(".tif");
    if (suffix == u"bmp" || suffix == u"dib")
        return QStringLiteral(".bmp");
    if (suffix == u"jpg" || suffix == u"jpeg" || suffix == u"jpe" || suffix == u"jfif")
        return QStringLiteral(".jpg");
    return QString();
}

int WriteTiffPages(TImagePages& pages, const QString& path, int threads,
                   const std::function<void(int, int)>& progress, bool copyCompressed) {
    // The document's file as it was opened, whatever became of its name.
    const QString source = pages.FSource ? pages.FSource->OpenFilePath() : QString();
    TIFF* sourceTiff = !source.isEmpty()
                           ? OpenTiff(QFile::encodeName(source).constData(), "rm", nullptr)
                           : nullptr;
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
        job.Raw =
            job.Frame >= 0 && sourceTiff && TIFFSetDirectory(sourceTiff, tdir_t(job.Frame)) == 1 &&
            ((copyCompressed && CopyableAsItIs(sourceTiff)) || UnknownCompression(sourceTiff));
        jobs.push_back(job);
    }
    if (threads <= 0)
        threads = std::max(1, QThread::idealThreadCount());
    threads = std::min<int>(threads, std::max<int>(1, int(jobs.size())));

    TIFF* out = OpenTiff(QFile::encodeName(path).constData(), "w", nullptr);
    if (!out) {
        if (sourceTiff)
            TIFFClose(sourceTiff);
        return -1;
    }
    TParallelTiffWriter writer(std::move(jobs), source, threads);
    int written = writer.Run(out, sourceTiff, progress);
    if (written > 0 && TIFFFlush(out) != 1)
        written = -1;
    TIFFClose(out);
    if (sourceTiff)
        TIFFClose(sourceTiff);
    if (written <= 0) {
        QFile::remove(path);
        if (!writer.PageError().isEmpty())
            throw Exception(writer.PageError());
        return -1;
    }
    return written;
}

TSaveOutcome SaveDocument(TImagePages& pages, const QString& docPath, const TSaveOptions& options) {
    if (docPath.isEmpty() || !pages.FModified)
        return TSaveOutcome::Nothing;

    QString path = docPath;
    const QString folder = QFileInfo(path).absolutePath();
    auto makeTemp = [&] {
        return options.makeTempFileName ? options.makeTempFileName(folder) : TempFileBeside(folder);
    };

    if (pages.Count() == 0) {
        pages.LoadSource(nullptr);
        QFile::remove(path);
        return TSaveOutcome::Deleted;
    }

    // Keep an imported file as it is, under the document's name. Only the
    // document formats can be kept: under any other extension the server
    // would never find the document again.
    const QString source = pages.FSourceFileName;
    const QString keptExt = DocumentExtension(source);
    if (options.keepOriginal && !source.isEmpty() && QFileInfo(source).isFile() &&
        !keptExt.isEmpty()) {
        path = WithExtension(path, keptExt);
        const bool same = QFileInfo::exists(path) && QFileInfo(path).canonicalFilePath() ==
                                                         QFileInfo(source).canonicalFilePath();
        if (!same) {
            const QString temp = makeTemp();
            if (!QFile::copy(source, temp) || !ReplaceFile(temp, path)) {
                QFile::remove(temp);
                throw Exception(SaveFailed(path));
            }
            DeleteOtherVariants(path, keptExt);
        }
        pages.SetModified(false);
        return TSaveOutcome::Copied;
    }

    const QString ext = u'.' + options.defaultExt.toLower();
    path = WithExtension(path, ext);
    const QString temp = makeTemp();
    bool written = false;
    try {
        if (ext == u".bmp") {
            written = WriteSingleImage(FirstPicture(pages), temp, "bmp", std::nullopt);
        } else if (ext == u".jpg") {
            written = WriteSingleImage(FirstPicture(pages), temp, "jpeg", options.jpegQuality);
        } else if (ext == u".tif") {
            written = WriteTiffPages(pages, temp, options.threads, options.progress,
                                     options.copyCompressed) > 0;
        }
    } catch (const Exception&) {
        QFile::remove(temp); // a page that cannot be written: nothing changes
        throw;
    }
    if (!written || !ReplaceFile(temp, path)) {
        QFile::remove(temp);
        throw Exception(SaveFailed(path));
    }
    const int index = pages.GetPageIndex();
    pages.LoadSource(nullptr); // scanned pages' files go with their pages
    DeleteOtherVariants(path, ext);
    OpenDocument(pages, path);
    pages.SetPageIndex(index);
    return TSaveOutcome::Encoded;
}

} // namespace gd
