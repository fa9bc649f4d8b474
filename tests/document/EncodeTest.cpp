// The TIFF writer checked with libtiff's own tiffinfo and ImageMagick;
// fitting.

#include "DocTestSupport.h"
#include "document/GdipExt.h"
#include "document/TiffIo.h"
#include "document/TiffWrite.h"

#include <QFile>

using namespace gd;
using doctest::Files;
using doctest::MaxDifference;

namespace {

QStringList Compressions(const Files& f, const QString& path) {
    const gdtest::RunResult r = gdtest::Run(QStringLiteral("tiffinfo"), {path});
    QStringList out;
    for (const QByteArray& line : r.out.split('\n'))
        if (line.contains("Compression Scheme:"))
            out << QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
    (void)f;
    return out;
}

TEST(TiffWriter, G4ForBilevelLzwForTheRestAndPixelsSurvive) {
    Files f;
    f.Convert({QStringLiteral("-size"), QStringLiteral("203x117"),
               QStringLiteral("gradient:white-black"), QStringLiteral("-threshold"),
               QStringLiteral("40%"), QStringLiteral("-monochrome"), QStringLiteral("-units"),
               QStringLiteral("PixelsPerInch"), QStringLiteral("-density"), QStringLiteral("300"),
               QStringLiteral("-compress"), QStringLiteral("Group4")},
              QStringLiteral("p0.tif"));
    f.Convert({QStringLiteral("rose:"), QStringLiteral("-compress"), QStringLiteral("Zip")},
              QStringLiteral("p1.tif"));
    f.Convert({QStringLiteral("rose:"), QStringLiteral("-type"), QStringLiteral("Palette")},
              QStringLiteral("p2.tif"));
    f.Convert({QStringLiteral("-size"), QStringLiteral("60x40"), QStringLiteral("gradient:"),
               QStringLiteral("-type"), QStringLiteral("Grayscale"), QStringLiteral("-depth"),
               QStringLiteral("16")},
              QStringLiteral("p3.tif"));
    f.Tool(QStringLiteral("tiffcp"), {f.Path("p0.tif"), f.Path("p1.tif"), f.Path("p2.tif"),
                                      f.Path("p3.tif"), f.Path("in.tif")});

    auto src = TGPBitmapExt::FromFile(f.Path("in.tif"));
    ASSERT_EQ(GetFrameCount(*src), 4);
    const QString out = f.Path("out.tif");
    {
        TIFF* tif = TIFFOpen(QFile::encodeName(out).constData(), "w");
        ASSERT_NE(tif, nullptr);
        for (int i = 0; i < 4; ++i) {
            SelectFrame(*src, i);
            const int compression = BitsPerPixel(src->GetPixelFormat()) == 1
                                        ? EncoderValueCompressionCCITT4
                                        : EncoderValueCompressionLZW;
            EXPECT_TRUE(WriteTiffFrame(tif, src->ToQImage(), src->GetHorizontalResolution(),
                                       src->GetVerticalResolution(), compression))
                << i;
        }
        TIFFClose(tif);
    }
    EXPECT_EQ(Compressions(f, out),
              (QStringList{QStringLiteral("CCITT Group 4"), QStringLiteral("LZW"),
                           QStringLiteral("LZW"), QStringLiteral("LZW")}));
    const gdtest::RunResult info = gdtest::Run(QStringLiteral("tiffinfo"), {out});
    EXPECT_TRUE(info.out.contains("Resolution: 300, 300 pixels/inch")) << info.out.toStdString();
    EXPECT_TRUE(info.out.contains("Predictor: horizontal differencing"));

    auto back = TGPBitmapExt::FromFile(out);
    ASSERT_EQ(GetFrameCount(*back), 4);
    const quint32 formats[] = {PixelFormat1bppIndexed, PixelFormat24bppRGB, PixelFormat8bppIndexed,
                               PixelFormat16bppGrayScale};
    for (int i = 0; i < 4; ++i) {
        SelectFrame(*back, i);
        EXPECT_EQ(back->GetPixelFormat(), formats[i]) << i;
        const bool gray = i == 0 || i == 3;
        // 16-bit gray and palette maps round to 8 bits differently by one.
        EXPECT_LE(MaxDifference(back->ToQImage(), f.Reference(f.Path("in.tif"), i, gray)),
                  i >= 2 ? 1 : 0)
            << i;
    }
    EXPECT_DOUBLE_EQ(back->GetHorizontalResolution(), 96); // frame 3 stated none
    SelectFrame(*back, 0);
    EXPECT_DOUBLE_EQ(back->GetHorizontalResolution(), 300);
}

TEST(TiffWriter, MinIsBlackBilevelWrittenAsG4KeepsItsColours) {
    QImage img(64, 16, QImage::Format_Mono);
    img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    img.fill(0);
    for (int x = 0; x < 32; ++x)
        img.setPixel(x, 3, 1);
    Files f;
    TIFF* tif = TIFFOpen(QFile::encodeName(f.Path("mb.tif")).constData(), "w");
    ASSERT_NE(tif, nullptr);
    EXPECT_TRUE(WriteTiffFrame(tif, img, 96, 96, EncoderValueCompressionCCITT4));
    TIFFClose(tif);
    EXPECT_EQ(Compressions(f, f.Path("mb.tif")), QStringList{QStringLiteral("CCITT Group 4")});
    EXPECT_EQ(MaxDifference(img, f.Reference(f.Path("mb.tif"), 0, true)), 0);
}

// The raw copy reads a whole strip into memory: a directory that claims a
// strip of more than it holds is refused before anything is allocated.
// libtiff says nothing on standard error, not even for data that is no TIFF.
TEST(TiffIo, RawCopyRefusesAStripItCannotHoldQuietly) {
    TTiffMemory junk{std::vector<char>(64, 'x'), 0};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenTiffMemory(junk, "rm"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const char bytes[] = "\x80\x00\x81\xff packbits data";
    TTiffMemory page;
    {
        TTiffPtr w = OpenTiffMemory(page, "w8m"); // BigTIFF: 64-bit byte counts
        ASSERT_TRUE(w);
        TIFFSetField(w.get(), TIFFTAG_IMAGEWIDTH, 16);
        TIFFSetField(w.get(), TIFFTAG_IMAGELENGTH, 4);
        TIFFSetField(w.get(), TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(w.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(w.get(), TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
        TIFFSetField(w.get(), TIFFTAG_ROWSPERSTRIP, 4);
        ASSERT_EQ(TIFFWriteRawStrip(w.get(), 0, const_cast<char*>(bytes), sizeof bytes),
                  tmsize_t(sizeof bytes));
    }
    // The StripByteCounts entry of the one directory (little-endian).
    const std::vector<char>& d = page.Data;
    ASSERT_TRUE(d.size() > 16 && d[0] == 'I' && d[2] == 43);
    auto u = [&](size_t at, int n) {
        quint64 v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | uchar(d[at + size_t(i)]);
        return size_t(v);
    };
    const size_t ifd = u(8, 8);
    size_t entry = 0;
    for (size_t i = 0; i < u(ifd, 8); ++i)
        if (u(ifd + 8 + 20 * i, 2) == TIFFTAG_STRIPBYTECOUNTS)
            entry = ifd + 8 + 20 * i;
    ASSERT_NE(entry, 0u);

    const struct {
        const char* name;
        quint64 claim; // 0: as written
        bool copied;
    } cases[] = {
        {"as written", 0, true},
        {"two terabytes in a few hundred bytes", quint64(1) << 41, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTiffMemory in{page.Data, 0};
        if (c.claim) {
            in.Data[entry + 2] = TIFF_LONG8; // whatever width libtiff chose
            in.Data[entry + 3] = 0;
            for (int i = 0; i < 8; ++i)
                in.Data[entry + 12 + size_t(i)] = char(c.claim >> (8 * i));
        }
        TTiffMemory out;
        testing::internal::CaptureStderr();
        bool copied = false;
        {
            TTiffPtr r = OpenTiffMemory(in, "rm");
            TTiffPtr w = OpenTiffMemory(out, "wm");
            copied = r && w && CopyTiffDirectory(r.get(), w.get());
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(copied, c.copied);
        if (!copied)
            continue;
        TTiffPtr back = OpenTiffMemory(out, "rm");
        ASSERT_TRUE(back);
        char strip[sizeof bytes] = {};
        EXPECT_EQ(TIFFReadRawStrip(back.get(), 0, strip, sizeof strip), tmsize_t(sizeof bytes));
        EXPECT_EQ(QByteArray(strip, sizeof strip), QByteArray(bytes, sizeof bytes));
    }
}

TEST(Fit, BilevelAveragesStraightToGray) {
    // A 2x2 checkerboard of pixels: every 2x2 box is half black.
    QImage img(400, 300, QImage::Format_Mono);
    img.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            img.setPixel(x, y, (x + y) & 1);
    const QImage fit = FitImage(img, QSize(200, 200));
    ASSERT_EQ(fit.size(), QSize(200, 150));
    EXPECT_EQ(fit.format(), QImage::Format_Grayscale8);
    for (int y = 0; y < 150; y += 17)
        for (int x = 0; x < 200; x += 13)
            EXPECT_NEAR(qGray(fit.pixel(x, y)), 128, 1);
    // A black left half stays black, white right half white.
    QImage half(1000, 10, QImage::Format_Mono);
    half.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    half.fill(0);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 500; ++x)
            half.setPixel(x, y, 1);
    const QImage h = BoxDownscale(half, QSize(100, 1));
    EXPECT_EQ(qGray(h.pixel(0, 0)), 0);
    EXPECT_EQ(qGray(h.pixel(49, 0)), 0);
    EXPECT_EQ(qGray(h.pixel(50, 0)), 255);
}

TEST(Fit, ColourKeepsLayoutAndAverages) {
    QImage img(301, 203, QImage::Format_RGB888);
    img.fill(QColor(200, 100, 50));
    const QImage fit = FitImage(img, QSize(100, 100));
    EXPECT_EQ(fit.format(), QImage::Format_RGB888);
    EXPECT_EQ(fit.size(), QSize(100, 67));
    EXPECT_EQ(fit.pixel(50, 30), qRgb(200, 100, 50));
    EXPECT_EQ(FitImage(img, QSize(400, 400)).size(), img.size());
}

} // namespace
