#include "document/PdfExport.h"

#include "common/Exception.h"
#include "document/FrameSource.h"
#include "document/GdipExt.h"
#include "document/Saving.h"
#include "document/TiffIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <map>
#include <mutex>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFLogger.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>
#include <thread>
#include <tiffio.h>
#include <unistd.h>
#include <unordered_map>

namespace gd {
namespace {

QString ExportFailed(const QString& path) {
    return QStringLiteral("Не удалось экспортировать документ в \"%1\"")
        .arg(QDir::toNativeSeparators(path));
}

QString PageUnreadable(const QString& path, int page) {
    return QStringLiteral("Не удалось экспортировать документ в \"%1\": страница %2 не может быть "
                          "прочитана")
        .arg(QDir::toNativeSeparators(path))
        .arg(page + 1);
}

struct Cancelled {};

// ---- One page's image, as it goes into the file --------------------------------------

enum class TFilter { Ccitt, Dct, Flate };
enum class TSpace { Gray, Rgb, Cmyk, Indexed };

struct TPdfImage {
    bool Ok = false;
    int Width = 0, Height = 0, Bpc = 8;
    TSpace Space = TSpace::Gray;
    QByteArray Lookup; // Indexed: RGB triplets
    bool Invert = false;
    TFilter Filter = TFilter::Flate;
    int K = -1;            // CCITT
    bool BlackIs1 = false; // CCITT
    bool EndOfLine = false;
    int ColorTransform = -1; // DCT, -1 for the default
    int Colors = 1;          // Flate predictor
    QByteArray Data;
    // Instead of Data: pieces of the page's own file, copied as they are
    // when the file is written.
    std::vector<std::pair<quint64, quint64>> Ranges;
    QByteArray Mask; // Flate, 8-bit alpha
    double DpiX = 96, DpiY = 96;
};

// ---- Flate with PNG predictors --------------------------------------------------------

// libdeflate's level 4: on an A4 colour page as small as img2pdf's zlib
// output (which takes ten times as long); higher levels gain under 3 % at up
// to twice the time.
constexpr int kDeflateLevel = 4;

inline int Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// The PNG filters of one row: each byte less its prediction from the byte
// `bpp` to the left (a), above (b) and above-left (c).
template <int Type>
inline uchar Filtered(const uchar* row, const uchar* prior, qsizetype i, int bpp) {
    const int x = row[i];
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int b = prior[i];
    const int c = i >= bpp ? prior[i - bpp] : 0;
    switch (Type) {
    case 1:
        return uchar(x - a);
    case 2:
        return uchar(x - b);
    case 3:
        return uchar(x - ((a + b) >> 1));
    case 4:
        return uchar(x - Paeth(a, b, c));
    default:
        return uchar(x);
    }
}

template <int Type> long FilteredCost(const uchar* row, const uchar* prior, qsizetype n, int bpp) {
    long sum = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const auto v = qint8(Filtered<Type>(row, prior, i, bpp));
        sum += v < 0 ? -v : v;
    }
    return sum;
}

template <int Type>
void Filter(const uchar* row, const uchar* prior, qsizetype n, int bpp, uchar* out) {
    for (qsizetype i = 0; i < n; ++i)
        out[i] = Filtered<Type>(row, prior, i, bpp);
}

// One row with the PNG filter whose bytes, read as signed, sum smallest (the
// usual heuristic), its type byte first. `prior` is the row above (zeros
// above the first).
void FilterRow(const uchar* row, const uchar* prior, qsizetype n, int bpp, uchar* out) {
    const long costs[5] = {FilteredCost<0>(row, prior, n, bpp), FilteredCost<1>(row, prior, n, bpp),
                           FilteredCost<2>(row, prior, n, bpp), FilteredCost<3>(row, prior, n, bpp),
                           FilteredCost<4>(row, prior, n, bpp)};
    const int type = int(std::min_element(costs, costs + 5) - costs);
    out[0] = uchar(type);
    switch (type) {
    case 1:
        Filter<1>(row, prior, n, bpp, out + 1);
        break;
    case 2:
        Filter<2>(row, prior, n, bpp, out + 1);
        break;
    case 3:
        Filter<3>(row, prior, n, bpp, out + 1);
        break;
    case 4:
        Filter<4>(row, prior, n, bpp, out + 1);
        break;
    default:
        std::memcpy(out + 1, row, size_t(n));
        break;
    }
}

// Rows of `rowBytes` packed bytes, produced by `row(y, buffer)`, predicted and
// deflated into a zlib stream.
template <class RowFn> QByteArray Deflate(int height, qsizetype rowBytes, int bpp, RowFn row) {
    std::vector<uchar> filtered(size_t(height) * size_t(rowBytes + 1));
    std::vector<uchar> cur(static_cast<size_t>(rowBytes)), prev(static_cast<size_t>(rowBytes));
    for (int y = 0; y < height; ++y) {
        row(y, cur.data());
        FilterRow(cur.data(), prev.data(), rowBytes, bpp,
                  filtered.data() + size_t(y) * size_t(rowBytes + 1));
        std::swap(cur, prev);
    }
    libdeflate_compressor* c = libdeflate_alloc_compressor(kDeflateLevel);
    if (!c)
        return QByteArray();
    const size_t bound = libdeflate_zlib_compress_bound(c, filtered.size());
    QByteArray out(qsizetype(bound), Qt::Uninitialized);
    const size_t n =
        libdeflate_zlib_compress(c, filtered.data(), filtered.size(), out.data(), bound);
    libdeflate_free_compressor(c);
    if (n == 0)
        return QByteArray();
    out.truncate(qsizetype(n));
    return out;
}

bool IsGrayRamp(const QList<QRgb>& table) {
    if (table.size() != 256)
        return false;
    for (int i = 0; i < 256; ++i)
        if (table[i] != qRgb(i, i, i))
            return false;
    return true;
}

// A decoded picture, kept in its own depth.
TPdfImage FromPicture(QImage img, double dpiX, double dpiY) {
    TPdfImage r;
    r.DpiX = dpiX;
    r.DpiY = dpiY;
    r.Width = img.width();
    r.Height = img.height();
    const int w = img.width(), h = img.height();
    if (img.format() == QImage::Format_MonoLSB)
        img = img.convertToFormat(QImage::Format_Mono);
    const QImage::Format f = img.format();
    if (f == QImage::Format_Mono || f == QImage::Format_Indexed8) {
        QList<QRgb> table = img.colorTable();
        if (table.isEmpty())
            table = {qRgb(0, 0, 0), qRgb(255, 255, 255)};
        const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
        if (f == QImage::Format_Mono && table.size() == 2 &&
            ((table[0] == black && table[1] == white) ||
             (table[0] == white && table[1] == black))) {
            r.Space = TSpace::Gray;
            r.Bpc = 1;
            r.Invert = table[0] == white;
            r.Data = Deflate(h, (w + 7) / 8, 1, [&](int y, uchar* out) {
                std::memcpy(out, img.constScanLine(y), size_t((w + 7) / 8));
            });
        } else if (f == QImage::Format_Indexed8 && IsGrayRamp(table)) {
            r.Space = TSpace::Gray;
            r.Bpc = 8;
            r.Data = Deflate(h, w, 1, [&](int y, uchar* out) {
                std::memcpy(out, img.constScanLine(y), size_t(w));
            });
        } else {
            const int n = int(table.size());
            r.Space = TSpace::Indexed;
            r.Bpc = f == QImage::Format_Mono ? 1 : n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
            for (QRgb c : table) {
                r.Lookup.append(char(qRed(c)));
                r.Lookup.append(char(qGreen(c)));
                r.Lookup.append(char(qBlue(c)));
            }
            const int bpc = r.Bpc;
            const qsizetype rowBytes = (qsizetype(w) * bpc + 7) / 8;
            r.Data = Deflate(h, rowBytes, 1, [&](int y, uchar* out) {
                const uchar* in = img.constScanLine(y);
                if (f == QImage::Format_Mono || bpc == 8) {
                    std::memcpy(out, in, size_t(rowBytes));
                    if (bpc == 8)
                        for (int x = 0; x < w; ++x)
                            out[x] = uchar(std::min<int>(out[x], n - 1));
                    return;
                }
                std::memset(out, 0, size_t(rowBytes));
                const int per = 8 / bpc;
                for (int x = 0; x < w; ++x) {
                    const int v = std::min<int>(in[x], n - 1);
                    out[x / per] |= uchar(v << (8 - bpc * (x % per + 1)));
                }
            });
        }
    } else if (f == QImage::Format_Grayscale8) {
        r.Space = TSpace::Gray;
        r.Data = Deflate(
            h, w, 1, [&](int y, uchar* out) { std::memcpy(out, img.constScanLine(y), size_t(w)); });
    } else if (f == QImage::Format_Grayscale16) {
        r.Space = TSpace::Gray;
        r.Bpc = 16;
        r.Data = Deflate(h, qsizetype(w) * 2, 2, [&](int y, uchar* out) {
            const auto* in = reinterpret_cast<const quint16*>(img.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                out[2 * x] = uchar(in[x] >> 8);
                out[2 * x + 1] = uchar(in[x]);
            }
        });
    } else if (!img.hasAlphaChannel()) {
        if (f != QImage::Format_RGB888)
            img = img.convertToFormat(QImage::Format_RGB888);
        r.Space = TSpace::Rgb;
        r.Colors = 3;
        r.Data = Deflate(h, qsizetype(w) * 3, 3, [&](int y, uchar* out) {
            std::memcpy(out, img.constScanLine(y), size_t(w) * 3);
        });
    } else {
        if (f != QImage::Format_RGBA8888)
            img = img.convertToFormat(QImage::Format_RGBA8888);
        r.Space = TSpace::Rgb;
        r.Colors = 3;
        r.Data = Deflate(h, qsizetype(w) * 3, 3, [&](int y, uchar* out) {
            const uchar* in = img.constScanLine(y);
            for (int x = 0; x < w; ++x)
                std::memcpy(out + 3 * x, in + 4 * x, 3);
        });
        r.Mask = Deflate(h, w, 1, [&](int y, uchar* out) {
            const uchar* in = img.constScanLine(y);
            for (int x = 0; x < w; ++x)
                out[x] = in[4 * x + 3];
        });
        if (r.Mask.isEmpty())
            return r;
    }
    r.Ok = !r.Data.isEmpty();
    return r;
}

// ---- Data passed through as it is stored ----------------------------------------------

// The frame's fax data when it can be embedded as it is: G4 in one strip, or
// G3 (its lines carry their own EOL codes, so strips simply follow one
// another). A G4 page in several strips or tiles is not: each strip starts
// its coding afresh, so such a page is decoded and stored with Flate.
bool FaxAsStored(TIFF* tif, quint64 fileSize, TPdfImage& r) {
    uint16_t compression = 0, bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG,
             fill = FILLORDER_MSB2LSB;
    uint32_t w = 0, h = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_CCITTFAX4 && compression != COMPRESSION_CCITTFAX3)
        return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    if (bps != 1 || spp != 1 || TIFFIsTiled(tif) || w == 0 || h == 0 ||
        (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK))
        return false;
    const uint32_t strips = TIFFNumberOfStrips(tif);
    if (compression == COMPRESSION_CCITTFAX4) {
        if (strips != 1)
            return false;
        r.K = -1;
    } else {
        uint32_t options = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP3OPTIONS, &options);
        if (options & GROUP3OPT_UNCOMPRESSED)
            return false;
        r.K = (options & GROUP3OPT_2DENCODING) ? 4 : 0;
        r.EndOfLine = true;
    }
    for (uint32_t s = 0; s < strips; ++s) {
        const quint64 at = TIFFGetStrileOffset(tif, s), size = TIFFGetStrileByteCount(tif, s);
        if (size == 0 || at + size > fileSize || at + size < at)
            return false;
        r.Ranges.emplace_back(at, size);
    }
    if (fill == FILLORDER_LSB2MSB) { // bits in the other order: turned in memory
        for (uint32_t s = 0; s < strips; ++s) {
            const auto size = tmsize_t(r.Ranges[s].second);
            const qsizetype at = r.Data.size();
            r.Data.resize(at + qsizetype(size));
            if (TIFFReadRawStrip(tif, s, r.Data.data() + at, size) != size)
                return false;
        }
        TIFFReverseBits(reinterpret_cast<uint8_t*>(r.Data.data()), tmsize_t(r.Data.size()));
        r.Ranges.clear();
    }
    r.Filter = TFilter::Ccitt;
    r.Space = TSpace::Gray;
    r.Bpc = 1;
    r.Width = int(w);
    r.Height = int(h);
    // The fax codes' "white" runs are 0 bits in the file; under MinIsBlack
    // those mean black.
    r.BlackIs1 = photometric == PHOTOMETRIC_MINISBLACK;
    r.Ok = true;
    return true;
}

// A JPEG-compressed frame in one strip or tile: its tables and its data make
// one whole JPEG stream.
bool JpegAsStored(TIFF* tif, TPdfImage& r) {
    uint16_t compression = 0, bps = 8, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG;
    uint32_t w = 0, h = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_JPEG)
        return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    const bool gray = spp == 1 && photometric == PHOTOMETRIC_MINISBLACK;
    const bool colour =
        spp == 3 && (photometric == PHOTOMETRIC_YCBCR || photometric == PHOTOMETRIC_RGB);
    if (bps != 8 || (!gray && !colour) || (spp > 1 && planar != PLANARCONFIG_CONTIG))
        return false;
    const bool tiled = TIFFIsTiled(tif);
    if (tiled) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
        if (TIFFNumberOfTiles(tif) != 1 || tw != w || th != h)
            return false;
    } else if (TIFFNumberOfStrips(tif) != 1) {
        return false;
    }
    const auto size = tmsize_t(TIFFGetStrileByteCount(tif, 0));
    if (size < 4)
        return false;
    QByteArray strip(qsizetype(size), Qt::Uninitialized);
    const tmsize_t got = tiled ? TIFFReadRawTile(tif, 0, strip.data(), size)
                               : TIFFReadRawStrip(tif, 0, strip.data(), size);
    if (got != size || uchar(strip[0]) != 0xFF || uchar(strip[1]) != 0xD8)
        return false;
    uint32_t tablesSize = 0;
    void* tables = nullptr;
    QByteArray data;
    if (TIFFGetField(tif, TIFFTAG_JPEGTABLES, &tablesSize, &tables) && tables && tablesSize >= 4) {
        const auto* t = static_cast<const uchar*>(tables);
        if (t[0] != 0xFF || t[1] != 0xD8 || t[tablesSize - 2] != 0xFF || t[tablesSize - 1] != 0xD9)
            return false;
        data.append(reinterpret_cast<const char*>(t), qsizetype(tablesSize - 2));
        data.append(strip.constData() + 2, strip.size() - 2);
    } else {
        data = std::move(strip);
    }
    r.Filter = TFilter::Dct;
    r.Space = gray ? TSpace::Gray : TSpace::Rgb;
    r.Bpc = 8;
    r.Width = int(w);
    r.Height = int(h);
    if (colour)
        r.ColorTransform = photometric == PHOTOMETRIC_YCBCR ? 1 : 0;
    r.Data = std::move(data);
    r.Ok = true;
    return true;
}

// A JPEG file embedded whole when a PDF reader can read it as it is: 8-bit
// baseline or progressive Huffman coding, 1, 3 or 4 components.
bool JpegFileAsStored(const QByteArray& file, TPdfImage& r) { // `file`: the whole file
    const auto* p = reinterpret_cast<const uchar*>(file.constData());
    const qsizetype n = file.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return false;
    bool adobe = false;
    qsizetype i = 2;
    while (i + 4 <= n) {
        if (p[i] != 0xFF)
            return false;
        const uchar marker = p[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const int len = p[i + 2] << 8 | p[i + 3];
        if (len < 2 || i + 2 + len > n)
            return false;
        const uchar* seg = p + i + 4;
        if (marker == 0xEE && len >= 14 && std::memcmp(seg, "Adobe", 5) == 0)
            adobe = true;
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            if (len < 8)
                return false;
            const int precision = seg[0];
            const int height = seg[1] << 8 | seg[2];
            const int width = seg[3] << 8 | seg[4];
            const int components = seg[5];
            if (precision != 8 || width == 0 || height == 0 ||
                (components != 1 && components != 3 && components != 4))
                return false;
            r.Width = width;
            r.Height = height;
            r.Space = components == 1 ? TSpace::Gray : components == 3 ? TSpace::Rgb : TSpace::Cmyk;
            // Adobe's CMYK JPEGs store the inks inverted.
            r.Invert = components == 4 && adobe;
            r.Bpc = 8;
            r.Filter = TFilter::Dct;
            r.Ranges = {{0, quint64(n)}};
            r.Ok = true;
            return true;
        }
        if (marker == 0xDA || (marker >= 0xC3 && marker <= 0xCF && marker != 0xC4 &&
                               marker != 0xC8 && marker != 0xCC))
            return false; // no frame header before the data, or a coding PDF lacks
        i += 2 + len;
    }
    return false;
}

// ---- Reading the pages on worker threads -------------------------------------------------

struct TSourceInfo {
    bool Tiff = false;
    quint64 Size = 0;
    std::vector<quint64> Offsets;
};

// One worker's own handles on the files it reads.
struct TWorkerFile {
    std::unique_ptr<TGPBitmap> Bitmap;
    TTiffPtr Tiff;
};

TPdfImage ReadPage(const TPdfPage& page, const TSourceInfo* info,
                   std::map<QString, TWorkerFile>& files) {
    if (!page.Image.isNull())
        return FromPicture(page.Image, page.DpiX, page.DpiY);
    if (page.File.isEmpty() || !info || page.Frame < 0)
        return TPdfImage();
    TWorkerFile& file = files[page.File];
    TPdfImage r;
    if (info->Tiff) {
        // Stored data is taken from the directory alone, without decoding.
        if (size_t(page.Frame) >= info->Offsets.size())
            return TPdfImage();
        if (!file.Tiff)
            file.Tiff = OpenTiffFile(page.File, "rmh");
        TIFF* tif = file.Tiff.get();
        TFrameHeader h;
        if (tif && TIFFSetSubDirectory(tif, info->Offsets[size_t(page.Frame)]) &&
            ReadTiffFrameHeader(tif, h) &&
            (FaxAsStored(tif, info->Size, r) || JpegAsStored(tif, r)) && r.Width == h.Width &&
            r.Height == h.Height) {
            r.DpiX = h.DpiX;
            r.DpiY = h.DpiY;
            return r;
        }
        r = TPdfImage();
    }
    if (!file.Bitmap)
        file.Bitmap = TGPBitmap::FromFile(page.File);
    TGPBitmap& b = *file.Bitmap;
    if (page.Frame >= b.GetFrameCount() || b.SelectActiveFrame(page.Frame) != GpStatus::Ok)
        return TPdfImage();
    const int width = b.GetWidth(), height = b.GetHeight();
    const double dpiX = b.GetHorizontalResolution(), dpiY = b.GetVerticalResolution();
    if (width <= 0 || height <= 0)
        return TPdfImage();
    if (!info->Tiff) {
        QFile f(page.File);
        if (f.open(QIODevice::ReadOnly) && f.peek(2) == "\xFF\xD8" &&
            JpegFileAsStored(f.readAll(), r) && r.Width == width && r.Height == height) {
            r.DpiX = dpiX;
            r.DpiY = dpiY;
            return r;
        }
        r = TPdfImage();
    }
    QImage img = b.ToQImage();
    if (img.isNull() || b.GetLastStatus() != GpStatus::Ok)
        return TPdfImage();
    // The frame is not kept: the next page of this worker selects another.
    b.SelectActiveFrame(page.Frame);
    return FromPicture(std::move(img), dpiX, dpiY);
}

// N threads read and encode pages at most 2N ahead of the page the writer
// takes, so memory stays bounded whatever the number of pages.
class TPagePipeline {
public:
    TPagePipeline(const std::vector<TPdfPage>& pages, const std::map<QString, TSourceInfo>& infos,
                  int threads)
        : FPages(pages), FInfos(infos), FResults(pages.size()), FWindow(2 * threads) {
        for (int i = 0; i < threads; ++i)
            FWorkers.emplace_back([this] { Work(); });
    }
    ~TPagePipeline() {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
        for (std::thread& t : FWorkers)
            t.join();
    }

    TPdfImage Take(size_t i) {
        TPdfImage r;
        {
            std::unique_lock lock(FMutex);
            FChanged.wait(lock, [&] { return FDone.size() > i && FDone[i]; });
            r = std::move(FResults[i]);
            FResults[i] = TPdfImage();
            FTaken = i + 1;
        }
        FChanged.notify_all();
        return r;
    }

private:
    void Work() {
        std::map<QString, TWorkerFile> files;
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock lock(FMutex);
                FChanged.wait(lock, [&] {
                    return FStop || FNext >= FPages.size() || FNext < FTaken + size_t(FWindow);
                });
                if (FStop || FNext >= FPages.size())
                    return;
                index = FNext++;
            }
            TPdfImage r;
            try {
                const TPdfPage& page = FPages[index];
                const auto it = FInfos.find(page.File);
                r = ReadPage(page, it == FInfos.end() ? nullptr : &it->second, files);
            } catch (...) {
                r = TPdfImage();
            }
            {
                std::lock_guard lock(FMutex);
                FResults[index] = std::move(r);
                if (FDone.size() < FPages.size())
                    FDone.resize(FPages.size());
                FDone[index] = true;
            }
            FChanged.notify_all();
        }
    }

    const std::vector<TPdfPage>& FPages;
    const std::map<QString, TSourceInfo>& FInfos;
    std::vector<TPdfImage> FResults;
    std::vector<bool> FDone;
    const int FWindow;
    std::mutex FMutex;
    std::condition_variable FChanged;
    size_t FNext = 0;
    size_t FTaken = 0;
    bool FStop = false;
    std::vector<std::thread> FWorkers;
};

// ---- Stream data kept on disk until the file is written --------------------------------

// The encoded images are spooled to an unnamed file beside the output and
// handed to QPDF when it writes each stream, so only a few pages are ever in
// memory; data kept as it is stored is read from its own file then.
class TSpool : public QPDFObjectHandle::StreamDataProvider {
public:
    explicit TSpool(const QString& folder) {
        FFd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR, 0600);
        if (FFd < 0) { // a file system without unnamed files
            const QString name = TempFileBeside(folder);
            FFd = ::open(QFile::encodeName(name).constData(), O_CREAT | O_EXCL | O_RDWR, 0600);
            if (FFd >= 0)
                ::unlink(QFile::encodeName(name).constData());
        }
    }
    ~TSpool() override {
        if (FFd >= 0)
            ::close(FFd);
        for (const auto& [path, fd] : FSources)
            ::close(fd);
    }
    bool IsOpen() const { return FFd >= 0; }

    bool Add(QPDFObjGen og, const QByteArray& data) {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(FFd, data.constData() + done, size_t(data.size() - done));
            if (n <= 0)
                return false;
            done += n;
        }
        FEntries[og.getObj()] = {FFd, {{quint64(FEnd), quint64(data.size())}}};
        FEnd += data.size();
        return true;
    }

    bool Add(QPDFObjGen og, const QString& file,
             const std::vector<std::pair<quint64, quint64>>& ranges) {
        int& fd = FSources[file];
        if (fd <= 0)
            fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        if (fd < 0)
            return false;
        FEntries[og.getObj()] = {fd, ranges};
        return true;
    }

    void provideStreamData(QPDFObjGen const& og, Pipeline* pipeline) override {
        const auto it = FEntries.find(og.getObj());
        if (it == FEntries.end())
            throw std::runtime_error("no stream data");
        std::vector<unsigned char> buf;
        for (auto [at, left] : it->second.Ranges) {
            buf.resize(size_t(std::min<quint64>(left, 1 << 20)));
            while (left > 0) {
                const ssize_t n = ::pread(it->second.Fd, buf.data(),
                                          size_t(std::min<quint64>(left, buf.size())), off_t(at));
                if (n <= 0)
                    throw std::runtime_error("stream data cannot be read");
                pipeline->write(buf.data(), size_t(n));
                at += quint64(n);
                left -= quint64(n);
            }
        }
        pipeline->finish();
    }

private:
    struct TEntry {
        int Fd = -1;
        std::vector<std::pair<quint64, quint64>> Ranges;
    };
    int FFd = -1;
    qint64 FEnd = 0;
    std::unordered_map<int, TEntry> FEntries;
    std::map<QString, int> FSources;
};

// Text of one content-stream token.
std::string Num(double v) {
    return QPDFObjectHandle::newReal(v, 4).unparse();
}

class TPdfBuilder {
public:
    TPdfBuilder(QPDF& pdf, std::shared_ptr<TSpool> spool) : FPdf(pdf), FSpool(std::move(spool)) {}

    bool AddPage(const TPdfImage& r, const QString& file) {
        using H = QPDFObjectHandle;
        H image = H::newStream(&FPdf);
        H filter, parms = H::newNull();
        switch (r.Filter) {
        case TFilter::Ccitt: {
            filter = H::newName("/CCITTFaxDecode");
            std::map<std::string, H> p = {{"/K", H::newInteger(r.K)},
                                          {"/Columns", H::newInteger(r.Width)},
                                          {"/Rows", H::newInteger(r.Height)}};
            if (r.BlackIs1)
                p["/BlackIs1"] = H::newBool(true);
            if (r.EndOfLine)
                p["/EndOfLine"] = H::newBool(true);
            // Pages of one size share one indirect dictionary: thousands of
            // fax pages would otherwise hold thousands of equal ones.
            H& shared = FFaxParms[H::newDictionary(p).unparse()];
            if (!shared.isInitialized())
                shared = FPdf.makeIndirectObject(H::newDictionary(p));
            parms = shared;
            break;
        }
        case TFilter::Dct:
            filter = H::newName("/DCTDecode");
            if (r.ColorTransform >= 0)
                parms = H::newDictionary({{"/ColorTransform", H::newInteger(r.ColorTransform)}});
            break;
        case TFilter::Flate:
            filter = H::newName("/FlateDecode");
            parms = Predictor(r.Colors, r.Bpc, r.Width);
            break;
        }
        image.replaceStreamData(FSpool, filter, parms);
        if (!(r.Ranges.empty() ? FSpool->Add(image.getObjGen(), r.Data)
                               : FSpool->Add(image.getObjGen(), file, r.Ranges)))
            return false;
        H dict = image.getDict();
        dict.replaceKey("/Type", H::newName("/XObject"));
        dict.replaceKey("/Subtype", H::newName("/Image"));
        dict.replaceKey("/Width", H::newInteger(r.Width));
        dict.replaceKey("/Height", H::newInteger(r.Height));
        dict.replaceKey("/BitsPerComponent", H::newInteger(r.Bpc));
        switch (r.Space) {
        case TSpace::Gray:
            dict.replaceKey("/ColorSpace", H::newName("/DeviceGray"));
            break;
        case TSpace::Rgb:
            dict.replaceKey("/ColorSpace", H::newName("/DeviceRGB"));
            break;
        case TSpace::Cmyk:
            dict.replaceKey("/ColorSpace", H::newName("/DeviceCMYK"));
            break;
        case TSpace::Indexed:
            dict.replaceKey("/ColorSpace",
                            H::newArray({H::newName("/Indexed"), H::newName("/DeviceRGB"),
                                         H::newInteger(r.Lookup.size() / 3 - 1),
                                         H::newString(std::string(r.Lookup.constData(),
                                                                  size_t(r.Lookup.size())))}));
            break;
        }
        if (r.Invert) {
            std::vector<H> decode;
            const int n = r.Space == TSpace::Cmyk ? 4 : r.Space == TSpace::Rgb ? 3 : 1;
            for (int i = 0; i < n; ++i) {
                decode.push_back(H::newInteger(1));
                decode.push_back(H::newInteger(0));
            }
            dict.replaceKey("/Decode", H::newArray(decode));
        }
        if (!r.Mask.isEmpty()) {
            H mask = H::newStream(&FPdf);
            mask.replaceStreamData(FSpool, H::newName("/FlateDecode"), Predictor(1, 8, r.Width));
            if (!FSpool->Add(mask.getObjGen(), r.Mask))
                return false;
            H md = mask.getDict();
            md.replaceKey("/Type", H::newName("/XObject"));
            md.replaceKey("/Subtype", H::newName("/Image"));
            md.replaceKey("/Width", H::newInteger(r.Width));
            md.replaceKey("/Height", H::newInteger(r.Height));
            md.replaceKey("/BitsPerComponent", H::newInteger(8));
            md.replaceKey("/ColorSpace", H::newName("/DeviceGray"));
            dict.replaceKey("/SMask", mask);
        }

        const double w = r.Width * 72.0 / (r.DpiX > 0 ? r.DpiX : 96);
        const double h = r.Height * 72.0 / (r.DpiY > 0 ? r.DpiY : 96);
        const std::string size = Num(w) + " " + Num(h);
        auto& [contents, mediaBox] = FContents[size];
        if (!contents.isInitialized()) {
            mediaBox = FPdf.makeIndirectObject(H::newArray(
                {H::newInteger(0), H::newInteger(0), H::newReal(w, 4), H::newReal(h, 4)}));
            // Pages of one size share one content stream (the image scaled
            // to the page) and one media box.
            const std::string ops =
                H::newOperator("q").unparse() + "\n" + Num(w) + " 0 0 " + Num(h) + " 0 0 " +
                H::newOperator("cm").unparse() + "\n" + H::newName("/Im0").unparse() + " " +
                H::newOperator("Do").unparse() + "\n" + H::newOperator("Q").unparse() + "\n";
            contents = H::newStream(&FPdf, ops);
        }
        H page = FPdf.makeIndirectObject(H::newDictionary(
            {{"/Type", H::newName("/Page")},
             {"/MediaBox", mediaBox},
             {"/Resources", H::newDictionary({{"/XObject", H::newDictionary({{"/Im0", image}})}})},
             {"/Contents", contents}}));
        FPdf.addPage(page, false);
        return true;
    }

private:
    static QPDFObjectHandle Predictor(int colors, int bpc, int columns) {
        using H = QPDFObjectHandle;
        return H::newDictionary({{"/Predictor", H::newInteger(15)},
                                 {"/Colors", H::newInteger(colors)},
                                 {"/BitsPerComponent", H::newInteger(bpc)},
                                 {"/Columns", H::newInteger(columns)}});
    }

    QPDF& FPdf;
    std::shared_ptr<TSpool> FSpool;
    // Per page size: the content stream and the media box.
    std::map<std::string, std::pair<QPDFObjectHandle, QPDFObjectHandle>> FContents;
    std::map<std::string, QPDFObjectHandle> FFaxParms;
};

} // namespace

std::vector<TPdfPage> PdfPagesOf(const TImagePages& pages, bool imageChanged,
                                 const std::optional<QImage>& picture) {
    std::vector<TPdfPage> out;
    out.reserve(size_t(pages.Count()) + 1);
    const int current = std::min(pages.FPageIndex, pages.Count() - 1);
    auto shown = [&] {
        TPdfPage p;
        p.Image = *picture;
        p.DpiX = p.Image.dotsPerMeterX() > 0 ? p.Image.dotsPerMeterX() * 0.0254 : 96;
        p.DpiY = p.Image.dotsPerMeterY() > 0 ? p.Image.dotsPerMeterY() * 0.0254 : 96;
        // Whole dots per inch survive the trip through dots per metre.
        p.DpiX = std::abs(p.DpiX - std::round(p.DpiX)) < 0.01 ? std::round(p.DpiX) : p.DpiX;
        p.DpiY = std::abs(p.DpiY - std::round(p.DpiY)) < 0.01 ? std::round(p.DpiY) : p.DpiY;
        return p;
    };
    const bool edited = imageChanged && picture && !picture->isNull();
    if (edited && current < 0)
        out.push_back(shown()); // the picture on an empty document
    for (int i = 0; i < pages.Count(); ++i) {
        if (imageChanged && i == current) {
            if (edited)
                out.push_back(shown());
            continue; // deleted in the editor
        }
        TImagePage* page = pages.Get(i);
        TPdfPage p;
        if (page->FBitmap) {
            TGPBitmap& b = *page->FBitmap;
            if (!b.FileName().isEmpty()) {
                p.File = b.FileName();
                p.Frame = 0;
            } else {
                p.Image = b.ToQImage();
                p.DpiX = b.GetHorizontalResolution();
                p.DpiY = b.GetVerticalResolution();
            }
        } else {
            // A frame of the document's file, or nothing (a failed copy).
            TGPBitmap* b = nullptr;
            try {
                b = page->GetBitmap();
            } catch (const Exception&) {
            }
            if (b && b == pages.FSource.get()) {
                p.File = b->FileName();
                p.Frame = page->FFrameIndex;
            }
        }
        out.push_back(std::move(p));
    }
    return out;
}

TPdfOutcome ExportPdf(const std::vector<TPdfPage>& pages, const QString& path,
                      const TPdfExportOptions& options) {
    if (pages.empty())
        throw Exception(ExportFailed(path));
    std::map<QString, TSourceInfo> infos;
    for (const TPdfPage& p : pages) {
        if (p.Image.isNull() && !p.File.isEmpty() && !infos.count(p.File)) {
            TSourceInfo info;
            QFile f(p.File);
            info.Size = quint64(std::max<qint64>(f.size(), 0));
            if (f.open(QIODevice::ReadOnly) && IsTiffSignature(f.read(8))) {
                info.Tiff = true;
                info.Offsets = TiffDirectoryOffsets(p.File);
            }
            infos[p.File] = std::move(info);
        }
    }

    const QString folder = QFileInfo(path).absolutePath();
    const QString temp = TempFileBeside(folder);
    FILE* out = std::fopen(QFile::encodeName(temp).constData(), "wbx");
    if (!out)
        throw Exception(ExportFailed(path));
    auto spool = std::make_shared<TSpool>(folder);
    auto fail = [&](const QString& message) {
        if (out)
            std::fclose(out);
        QFile::remove(temp);
        throw Exception(message);
    };
    if (!spool->IsOpen())
        fail(ExportFailed(path));

    int threads = options.Threads > 0 ? options.Threads : std::max(1, QThread::idealThreadCount());
    threads = std::min<int>(threads, int(pages.size()));
    try {
        QPDF pdf;
        auto logger = QPDFLogger::create();
        logger->setWarn(logger->discard());
        logger->setInfo(logger->discard());
        logger->setError(logger->discard());
        pdf.setLogger(logger);
        pdf.setSuppressWarnings(true);
        pdf.emptyPDF();
        TPdfBuilder builder(pdf, spool);
        {
            TPagePipeline pipeline(pages, infos, threads);
            for (size_t i = 0; i < pages.size(); ++i) {
                const TPdfImage r = pipeline.Take(i);
                if (!r.Ok)
                    fail(PageUnreadable(path, int(i)));
                if (!builder.AddPage(r, pages[i].File))
                    fail(ExportFailed(path));
                if (options.Progress && !options.Progress(int(i + 1), int(pages.size())))
                    throw Cancelled();
            }
        }
        QPDFWriter writer(pdf);
        const QByteArray description = QFile::encodeName(temp); // kept by the writer
        writer.setOutputFile(description.constData(), out, false);
        writer.setCompressStreams(false);
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.write();
    } catch (const Exception&) {
        throw;
    } catch (const Cancelled&) {
        std::fclose(out);
        QFile::remove(temp);
        return TPdfOutcome::Cancelled;
    } catch (const std::exception&) {
        fail(ExportFailed(path));
    }
    const bool closed = std::fclose(out) == 0;
    out = nullptr;
    // Renamed over the target only once complete. Not synced: an export
    // leaves the document itself alone, and a sync would cost more than the
    // whole export of a fax document.
    if (!closed || std::rename(QFile::encodeName(temp).constData(),
                               QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temp);
        throw Exception(ExportFailed(path));
    }
    return TPdfOutcome::Written;
}

} // namespace gd
