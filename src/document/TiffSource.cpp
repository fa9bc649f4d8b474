// TIFF frames through libtiff: the directory chain is walked once at open
// (offsets only), a frame's directory is parsed when it is selected, and its
// strips or tiles are decoded when its pixels are asked for.

#include "document/FrameSource.h"
#include "document/TiffIo.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <tiffio.h>
#include <unordered_set>
#include <vector>

namespace gd {

namespace {

// More pages than any real document; a lying chain stops here.
constexpr int kMaxPages = 100000;

// Offsets of the directories in the main chain, stopping at a loop, an
// offset outside the file or a directory cut short by the end of the file.
// The last two are a file cut short: the lost directory is kept as a frame
// that does not read, so the document never looks whole.
std::vector<quint64> WalkDirectories(QFile& f) {
    std::vector<quint64> offsets;
    const qint64 size = f.size();
    QByteArray head = f.read(16);
    if (head.size() < 8)
        return offsets;
    const bool little = head.startsWith("II");
    auto u16 = [little](const uchar* p) {
        return little ? quint16(p[0] | p[1] << 8) : quint16(p[0] << 8 | p[1]);
    };
    auto u32 = [little](const uchar* p) {
        return little
                   ? quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24
                   : quint32(p[3]) | quint32(p[2]) << 8 | quint32(p[1]) << 16 | quint32(p[0]) << 24;
    };
    auto u64 = [&](const uchar* p) {
        const quint64 a = u32(p), b = u32(p + 4);
        return little ? (b << 32 | a) : (a << 32 | b);
    };
    const auto* h = reinterpret_cast<const uchar*>(head.constData());
    const quint16 version = u16(h + 2);
    const bool big = version == 43;
    if (big && head.size() < 16)
        return offsets;
    quint64 off = big ? u64(h + 8) : u32(h + 4);
    std::unordered_set<quint64> seen;
    const int countSize = big ? 8 : 2, entrySize = big ? 20 : 12, nextSize = big ? 8 : 4;
    while (off != 0 && int(offsets.size()) < kMaxPages) {
        if (!seen.insert(off).second)
            break;
        // A first directory outside the file is no TIFF at all, not a cut one.
        const bool cut = !offsets.empty();
        if (off >= quint64(size) || !f.seek(qint64(off))) {
            if (cut)
                offsets.push_back(off);
            break;
        }
        QByteArray c = f.read(countSize);
        if (c.size() != countSize) {
            if (cut)
                offsets.push_back(off);
            break;
        }
        const auto* cp = reinterpret_cast<const uchar*>(c.constData());
        const quint64 n = big ? u64(cp) : u16(cp);
        if (n == 0 || n > 65535)
            break;
        const quint64 nextAt = off + countSize + n * entrySize;
        if (nextAt + nextSize > quint64(size) || !f.seek(qint64(nextAt))) {
            if (cut)
                offsets.push_back(off);
            break;
        }
        QByteArray nx = f.read(nextSize);
        if (nx.size() != nextSize)
            break;
        offsets.push_back(off);
        const auto* np = reinterpret_cast<const uchar*>(nx.constData());
        off = big ? u64(np) : u32(np);
    }
    return offsets;
}

enum class Kind { Bilevel, Gray8, GrayLow, Gray16, Palette, Rgb8, Rgba8, Generic };

struct Plan {
    Kind kind = Kind::Generic;
    QImage::Format format = QImage::Format_Invalid;
    bool invert = false; // MinIsWhite gray
    int bps = 0, spp = 0;
    uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    quint32 width = 0, height = 0;
    quint32 flags = 0;
    double dpiX = 96, dpiY = 96;
};

// Reads the tags of the current directory and decides how to decode it.
bool MakePlan(TIFF* tif, Plan& p) {
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) ||
        w == 0 || h == 0)
        return false;
    uint16_t bps = 1, spp = 1, photo = 0, planar = PLANARCONFIG_CONTIG,
             compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photo))
        photo = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);

    p = Plan{};
    p.width = w;
    p.height = h;
    p.bps = bps;
    p.spp = spp;
    p.compression = compression;
    p.tiled = TIFFIsTiled(tif);
    const bool contig = planar == PLANARCONFIG_CONTIG || spp == 1;
    const bool plain = contig && sampleFormat == SAMPLEFORMAT_UINT &&
                       compression != COMPRESSION_OJPEG &&
                       !(compression == COMPRESSION_JPEG && photo == PHOTOMETRIC_YCBCR) &&
                       TIFFIsCODECConfigured(compression);
    const bool gray = photo == PHOTOMETRIC_MINISWHITE || photo == PHOTOMETRIC_MINISBLACK;
    if (plain && gray && spp == 1) {
        p.invert = photo == PHOTOMETRIC_MINISWHITE;
        if (bps == 1) {
            p.kind = Kind::Bilevel;
            p.format = QImage::Format_Mono;
        } else if (bps == 2 || bps == 4) {
            p.kind = Kind::GrayLow;
            p.format = QImage::Format_Grayscale8;
        } else if (bps == 8) {
            p.kind = Kind::Gray8;
            p.format = QImage::Format_Grayscale8;
        } else if (bps == 16) {
            p.kind = Kind::Gray16;
            p.format = QImage::Format_Grayscale16;
        }
    } else if (plain && photo == PHOTOMETRIC_PALETTE && spp == 1 && bps >= 1 && bps <= 8) {
        p.kind = Kind::Palette;
        p.format = bps == 1 ? QImage::Format_Mono : QImage::Format_Indexed8;
    } else if (plain && photo == PHOTOMETRIC_RGB && bps == 8 && spp == 3) {
        p.kind = Kind::Rgb8;
        p.format = QImage::Format_RGB888;
    } else if (plain && photo == PHOTOMETRIC_RGB && bps == 8 && spp == 4 && extraCount == 1) {
        p.kind = Kind::Rgba8;
        p.format = extra[0] == EXTRASAMPLE_ASSOCALPHA ? QImage::Format_RGBA8888_Premultiplied
                                                      : QImage::Format_RGBA8888;
    }
    if (p.format == QImage::Format_Invalid) {
        p.kind = Kind::Generic;
        p.format = extraCount > 0 ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBX8888;
    }

    p.flags = ImageFlagsHasRealPixelSize | ImageFlagsReadOnly;
    if (gray)
        p.flags |= ImageFlagsColorSpaceGRAY;
    else if (photo == PHOTOMETRIC_SEPARATED)
        p.flags |= ImageFlagsColorSpaceCMYK;
    else if (photo == PHOTOMETRIC_YCBCR)
        p.flags |= ImageFlagsColorSpaceYCBCR;
    else
        p.flags |= ImageFlagsColorSpaceRGB;
    if (QImage::toPixelFormat(p.format).alphaUsage() == QPixelFormat::UsesAlpha)
        p.flags |= ImageFlagsHasAlpha;

    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const bool hasX =
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) && std::isfinite(xres) && xres > 0;
    const bool hasY =
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) && std::isfinite(yres) && yres > 0;
    if (hasX && unit != RESUNIT_NONE) {
        const double k = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        p.dpiX = std::min(xres * k, 1e6);
        p.dpiY = hasY ? std::min(yres * k, 1e6) : p.dpiX;
        p.flags |= ImageFlagsHasRealDPI;
    }
    return true;
}

void SetColorTable(TIFF* tif, const Plan& p, QImage& img) {
    QList<QRgb> table;
    if (p.kind == Kind::Bilevel) {
        table = p.invert ? QList<QRgb>{qRgb(255, 255, 255), qRgb(0, 0, 0)}
                         : QList<QRgb>{qRgb(0, 0, 0), qRgb(255, 255, 255)};
    } else if (p.kind == Kind::Palette) {
        const int n = 1 << p.bps;
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) && r && g && b) {
            // Some writers store 8-bit values in the 16-bit map.
            bool eight = true;
            for (int i = 0; i < n && eight; ++i)
                eight = r[i] < 256 && g[i] < 256 && b[i] < 256;
            auto to8 = [eight](uint16_t v) { return eight ? int(v) : (int(v) + 128) / 257; };
            for (int i = 0; i < n; ++i)
                table.push_back(qRgb(to8(r[i]), to8(g[i]), to8(b[i])));
        } else {
            for (int i = 0; i < n; ++i)
                table.push_back(qRgb(i * 255 / (n - 1), i * 255 / (n - 1), i * 255 / (n - 1)));
        }
    }
    if (!table.isEmpty())
        img.setColorTable(table);
}

// Turns one raw row of the file into one row of the image.
// `bits` and `bpl` are taken once: QImage::scanLine() may not be called from
// two threads at once.
void EmitRow(const Plan& p, const uchar* raw, qsizetype rawBytes, uchar* bits, qsizetype bpl,
             int y) {
    uchar* dst = bits + bpl * y;
    switch (p.kind) {
    case Kind::GrayLow: {
        std::memset(dst, 0, size_t(bpl)); // a short raw row leaves the rest blank
        const int bps = p.bps, per = 8 / bps, maxv = (1 << bps) - 1;
        for (quint32 x = 0; x < p.width; ++x) {
            const qsizetype byte = x / per;
            if (byte >= rawBytes)
                break;
            const int shift = 8 - bps * int(x % per + 1);
            int v = (raw[byte] >> shift) & maxv;
            v = v * 255 / maxv;
            dst[x] = uchar(p.invert ? 255 - v : v);
        }
        return;
    }
    case Kind::Palette:
        if (p.bps != 1 && p.bps != 8) {
            std::memset(dst, 0, size_t(bpl));
            const int bps = p.bps;
            const int maxv = (1 << bps) - 1;
            for (quint32 x = 0; x < p.width; ++x) {
                const quint64 bit = quint64(x) * bps;
                if (qsizetype((bit + bps + 7) / 8) > rawBytes)
                    break;
                // Samples of 3, 5, 6 or 7 bits may straddle a byte.
                const quint32 two = quint32(raw[bit / 8]) << 8 |
                                    ((bit / 8 + 1) < quint64(rawBytes) ? raw[bit / 8 + 1] : 0);
                dst[x] = uchar((two >> (16 - bps - bit % 8)) & maxv);
            }
            return;
        }
        break;
    default:
        break;
    }
    const qsizetype n = std::min(rawBytes, bpl);
    std::memcpy(dst, raw, size_t(n));
    if (n < bpl) // the row's padding
        std::memset(dst + n, 0, size_t(bpl - n));
    if (p.kind == Kind::Gray8 && p.invert) {
        for (qsizetype i = 0; i < n; ++i)
            dst[i] = uchar(255 - dst[i]);
    } else if (p.kind == Kind::Gray16 && p.invert) {
        auto* d16 = reinterpret_cast<quint16*>(dst);
        for (qsizetype i = 0; i < n / 2; ++i)
            d16[i] = quint16(65535 - d16[i]);
    }
}

struct Job {
    const Plan* plan;
    uchar* bits;
    qsizetype bpl;
    qsizetype rowBytes; // bytes of one raw row of the whole image
    uint32_t unitRows;  // rows per strip or per tile band
    uint32_t tileW = 0; // tiles only
    qsizetype tileRowBytes = 0;
};

// Decodes strips or tile bands [first, last); false when any failed.
bool DecodeUnits(TIFF* tif, const Job& job, uint32_t first, uint32_t last) {
    const Plan& p = *job.plan;
    bool ok = true;
    // Not cleared: a strip is decoded over it, and tiles clear it per band.
    const std::unique_ptr<uchar[]> band(new uchar[size_t(job.rowBytes) * job.unitRows]);
    const size_t bandBytes = size_t(job.rowBytes) * job.unitRows;
    std::vector<uchar> tile;
    if (p.tiled)
        tile.resize(size_t(TIFFTileSize64(tif)));
    for (uint32_t u = first; u < last; ++u) {
        const uint32_t y0 = u * job.unitRows;
        const uint32_t rows = std::min(job.unitRows, p.height - y0);
        uint32_t got = rows;
        if (!p.tiled) {
            const tmsize_t want = tmsize_t(rows) * job.rowBytes;
            const tmsize_t n = TIFFReadEncodedStrip(tif, u, band.get(), want);
            if (n < want) {
                ok = false;
                got = n <= 0 ? 0 : uint32_t(n / job.rowBytes);
            }
        } else {
            std::memset(band.get(), 0, bandBytes);
            for (uint32_t x = 0; x < p.width; x += job.tileW) {
                const tmsize_t n = TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x, y0, 0, 0),
                                                       tile.data(), tmsize_t(tile.size()));
                if (n <= 0) {
                    ok = false;
                    continue;
                }
                const qsizetype xoff = qsizetype(quint64(x) * p.bps * p.spp / 8);
                const qsizetype len = std::min(job.tileRowBytes, job.rowBytes - xoff);
                for (uint32_t r = 0; r < rows && qsizetype(r + 1) * job.tileRowBytes <= n; ++r)
                    std::memcpy(band.get() + r * job.rowBytes + xoff,
                                tile.data() + r * job.tileRowBytes, size_t(len));
            }
        }
        for (uint32_t r = 0; r < got; ++r)
            EmitRow(p, band.get() + size_t(r) * job.rowBytes, job.rowBytes, job.bits, job.bpl,
                    int(y0 + r));
        // Rows a damaged strip did not give are blank (white for bilevel
        // MinIsWhite, black otherwise).
        for (uint32_t r = got; r < rows; ++r)
            std::memset(job.bits + size_t(y0 + r) * size_t(job.bpl), 0, size_t(job.bpl));
    }
    return ok;
}

// A strip larger than this is decoded row by row rather than into a buffer
// of its own as big as the page.
constexpr size_t kBigStrip = size_t(16) * 1024 * 1024;

// The one strip of a page, row by row; false when a row did not decode (it
// and the rows after it are left blank).
bool DecodeRows(TIFF* tif, const Job& job) {
    std::vector<uchar> row(size_t(job.rowBytes));
    for (uint32_t y = 0; y < job.unitRows; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) != 1) {
            for (uint32_t r = y; r < job.unitRows; ++r)
                std::memset(job.bits + size_t(r) * size_t(job.bpl), 0, size_t(job.bpl));
            return false;
        }
        EmitRow(*job.plan, row.data(), job.rowBytes, job.bits, job.bpl, int(y));
    }
    return true;
}

class TiffSource final : public TFrameSource {
public:
    TiffSource(std::vector<quint64> offsets, TTiffPtr tif)
        : FOffsets(std::move(offsets)), FTif(std::move(tif)) {}
    int FrameCount() const override { return int(FOffsets.size()); }
    int Handle() const override { return TIFFFileno(FTif.get()); }

    GpStatus ReadHeader(int index, TFrameHeader& h) override {
        return Select(index) && ReadTiffFrameHeader(FTif.get(), h) ? GpStatus::Ok
                                                                   : GpStatus::GenericError;
    }

    GpStatus Decode(int index, QImage& img) override {
        Plan p;
        TIFF* tif = FTif.get();
        if (!Select(index) || !MakePlan(tif, p))
            return GpStatus::GenericError;
        if (!FrameSizeAllowed(p.width, p.height, QImage::toPixelFormat(p.format).bitsPerPixel()))
            return GpStatus::OutOfMemory;
        // libtiff reads a compression it has no codec for as blank pixels.
        if (!TIFFIsCODECConfigured(p.compression))
            return GpStatus::UnknownImageFormat;
        img = QImage(int(p.width), int(p.height), p.format);
        if (img.isNull())
            return GpStatus::OutOfMemory;
        img.setDotsPerMeterX(qRound(p.dpiX / 0.0254));
        img.setDotsPerMeterY(qRound(p.dpiY / 0.0254));
        if (p.kind == Kind::Generic)
            return DecodeGeneric(tif, p, img);
        SetColorTable(tif, p, img);

        Job job{&p, img.bits(), img.bytesPerLine(), 0, 0};
        uint32_t units = 0;
        if (p.tiled) {
            uint32_t tw = 0, th = 0;
            TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
            if (tw == 0 || th == 0) {
                img.fill(0);
                return GpStatus::GenericError;
            }
            job.tileW = tw;
            job.unitRows = std::min(th, p.height);
            job.tileRowBytes = qsizetype(TIFFTileRowSize64(tif));
            job.rowBytes = qsizetype((quint64(p.width) * p.bps * p.spp + 7) / 8);
            units = (p.height + th - 1) / th;
        } else {
            uint32_t rps = p.height;
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps);
            job.unitRows = std::clamp<uint32_t>(rps, 1, p.height);
            job.rowBytes = qsizetype(TIFFScanlineSize64(tif));
            units = std::min<uint32_t>(TIFFNumberOfStrips(tif),
                                       (p.height + job.unitRows - 1) / job.unitRows);
        }
        if (job.rowBytes <= 0 || (p.tiled && job.tileRowBytes <= 0)) {
            img.fill(0);
            return GpStatus::GenericError;
        }
        // Rows that no strip or tile covers (a file with too few) are blank.
        for (quint64 y = quint64(units) * job.unitRows; y < p.height; ++y)
            std::memset(job.bits + size_t(y) * size_t(job.bpl), 0, size_t(job.bpl));

        // Big pages: the second half of the strips on a second core, through
        // a handle of its own on the same file.
        bool ok = true;
        const bool parallel = units >= 2 && img.sizeInBytes() >= 4 * 1024 * 1024 &&
                              std::thread::hardware_concurrency() >= 2;
        if (!p.tiled && units == 1 && size_t(job.rowBytes) * job.unitRows > kBigStrip) {
            ok = DecodeRows(tif, job);
        } else if (parallel) {
            const uint32_t mid = units / 2;
            bool ok2 = false, opened = false;
            std::thread worker([&] {
                TTiffPtr second = OpenTiffFile(HandlePath(TIFFFileno(tif)), "rmh");
                opened = second && TIFFSetSubDirectory(second.get(), FOffsets[size_t(index)]);
                if (opened)
                    ok2 = DecodeUnits(second.get(), job, mid, units);
            });
            ok = DecodeUnits(tif, job, 0, mid);
            worker.join();
            if (!opened) // the file could not be opened twice: finish here
                ok2 = DecodeUnits(tif, job, mid, units);
            ok = ok && ok2;
        } else {
            ok = DecodeUnits(tif, job, 0, units);
        }
        return ok ? GpStatus::Ok : GpStatus::GenericError;
    }

private:
    bool Select(int index) {
        if (index < 0 || index >= FrameCount())
            return false;
        const quint64 off = FOffsets[size_t(index)];
        if (FCurrent == off)
            return true;
        FCurrent = 0;
        if (!TIFFSetSubDirectory(FTif.get(), off))
            return false;
        FCurrent = off;
        return true;
    }

    static GpStatus DecodeGeneric(TIFF* tif, const Plan& p, QImage& img) {
        char emsg[1024];
        if (!TIFFRGBAImageOK(tif, emsg)) {
            img = QImage();
            return GpStatus::UnknownImageFormat;
        }
        img.fill(0);
        const int ok = TIFFReadRGBAImageOriented(tif, p.width, p.height,
                                                 reinterpret_cast<uint32_t*>(img.bits()),
                                                 ORIENTATION_TOPLEFT, 0);
        return ok ? GpStatus::Ok : GpStatus::GenericError;
    }

    std::vector<quint64> FOffsets;
    TTiffPtr FTif;
    quint64 FCurrent = 0;
};

} // namespace

std::vector<quint64> TiffDirectoryOffsets(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return WalkDirectories(f);
}

bool ReadTiffFrameHeader(TIFF* tif, TFrameHeader& h) {
    Plan p;
    if (!MakePlan(tif, p))
        return false;
    h.Width = int(std::min<quint32>(p.width, INT_MAX));
    h.Height = int(std::min<quint32>(p.height, INT_MAX));
    h.PixelFormat = PixelFormatOf(p.format);
    h.Flags = p.flags;
    h.DpiX = p.dpiX;
    h.DpiY = p.dpiY;
    return true;
}

bool IsTiffSignature(const QByteArray& head) {
    return head.size() >= 4 &&
           (head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4)) ||
            head.startsWith(QByteArray("II+\0", 4)) || head.startsWith(QByteArray("MM\0+", 4)));
}

std::unique_ptr<TFrameSource> OpenTiffSource(const QString& path, GpStatus& status) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        status = GpStatus::FileNotFound;
        return nullptr;
    }
    std::vector<quint64> offsets = WalkDirectories(f);
    f.close();
    if (offsets.empty()) {
        status = GpStatus::UnknownImageFormat;
        return nullptr;
    }
    TTiffPtr tif = OpenTiffFile(path, "rmh");
    if (!tif) {
        status = GpStatus::UnknownImageFormat;
        return nullptr;
    }
    status = GpStatus::Ok;
    return std::make_unique<TiffSource>(std::move(offsets), std::move(tif));
}

} // namespace gd
