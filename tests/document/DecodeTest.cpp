// Decoding files written by other tools, compared pixel by pixel with what
// ImageMagick decodes from the same files.

#include "DocTestSupport.h"
#include "common/Exception.h"
#include "document/FrameSource.h"
#include "document/GdipExt.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstring>

using namespace gd;
using doctest::Files;
using doctest::MaxDifference;

namespace {

QStringList A(std::initializer_list<const char*> list) {
    QStringList l;
    for (const char* s : list)
        l << QString::fromUtf8(s);
    return l;
}

// Palette colour maps hold 16-bit values; decoders differ by one in how they
// round them to 8 bits, hence a tolerance of 1 for palette frames.
struct Expect {
    quint32 format;
    bool gray;
    int tolerance = 0;
};

void ExpectFrame(const Files& f, TGPBitmapExt& b, const QString& file, int frame, Expect e) {
    SCOPED_TRACE(QStringLiteral("%1 frame %2").arg(file).arg(frame).toStdString());
    SelectFrame(b, frame);
    EXPECT_EQ(b.GetPixelFormat(), e.format);
    const QImage ours = b.ToQImage();
    ASSERT_FALSE(ours.isNull());
    EXPECT_EQ(PixelFormatOf(ours.format()), e.format);
    EXPECT_EQ(ours.width(), b.GetWidth());
    EXPECT_EQ(ours.height(), b.GetHeight());
    const int diff = MaxDifference(ours, f.Reference(file, frame, e.gray));
    EXPECT_GE(diff, 0) << "size differs";
    EXPECT_LE(diff, e.tolerance);
}

class DecodeTest : public ::testing::Test {
protected:
    Files f;
};

TEST_F(DecodeTest, SinglePageTiffKindsKeepTheirDepthAndPixels) {
    struct Case {
        const char* name;
        QStringList args;
        Expect expect;
    };
    const QStringList bilevel = A({"-size", "97x61", "gradient:white-black", "-threshold", "50%",
                                   "-monochrome", "-depth", "1"});
    const std::vector<Case> cases = {
        {"g4.tif", bilevel + A({"-compress", "Group4"}), {PixelFormat1bppIndexed, true}},
        {"g3.tif", bilevel + A({"-compress", "Fax"}), {PixelFormat1bppIndexed, true}},
        {"packbits_minisblack.tif",
         bilevel + A({"-define", "tiff:photometric=min-is-black", "-compress", "RLE"}),
         {PixelFormat1bppIndexed, true}},
        {"gray8_lzw.tif",
         A({"-size", "70x50", "gradient:", "-type", "Grayscale", "-depth", "8", "-compress",
            "LZW"}),
         {PixelFormat8bppIndexed, true}},
        {"gray8_miniswhite.tif",
         A({"-size", "70x50", "gradient:", "-type", "Grayscale", "-depth", "8", "-define",
            "tiff:photometric=min-is-white"}),
         {PixelFormat8bppIndexed, true}},
        {"gray16.tif",
         A({"-size", "60x40", "gradient:", "-type", "Grayscale", "-depth", "16"}),
         {PixelFormat16bppGrayScale, true, 1}},
        {"pal4.tif",
         A({"rose:", "-colors", "16", "-depth", "4", "-type", "Palette", "-compress", "LZW"}),
         {PixelFormat8bppIndexed, false, 1}},
        {"pal8.tif", A({"rose:", "-type", "Palette"}), {PixelFormat8bppIndexed, false, 1}},
        {"rgb_zip.tif", A({"rose:", "-compress", "Zip"}), {PixelFormat24bppRGB, false}},
        {"rgba.tif",
         A({"rose:", "-alpha", "set", "-compress", "LZW"}),
         {PixelFormat32bppARGB, false}},
        {"cmyk.tif", A({"rose:", "-colorspace", "CMYK"}), {PixelFormat32bppRGB, false, 2}},
    };
    for (const Case& c : cases) {
        const QString path = f.Convert(c.args, QString::fromUtf8(c.name));
        auto b = TGPBitmapExt::FromFile(path);
        ASSERT_EQ(GetFrameCount(*b), 1) << c.name;
        ExpectFrame(f, *b, path, 0, c.expect);
        EXPECT_EQ(b->GetLastStatus(), GpStatus::Ok) << c.name;
    }
}

TEST_F(DecodeTest, MultiPageMixedTiffInEveryLayout) {
    // Pages of different depths and compressions joined by tiffcp, then the
    // same file big-endian, tiled, and tiled big-endian.
    const QStringList bilevel = A({"-size", "203x117", "gradient:white-black", "-threshold", "40%",
                                   "-monochrome", "-depth", "1"});
    f.Convert(bilevel + A({"-compress", "Group4"}), "p0.tif");
    f.Convert(A({"-size", "150x90", "gradient:", "-type", "Grayscale", "-depth", "8", "-compress",
                 "LZW"}),
              "p1.tif");
    f.Convert(A({"rose:", "-compress", "LZW"}), "p2.tif");
    f.Convert(A({"rose:", "-type", "Palette", "-compress", "Zip"}), "p3.tif");
    f.Convert(bilevel + A({"-compress", "RLE"}), "p4.tif");
    const QStringList pages = {f.Path("p0.tif"), f.Path("p1.tif"), f.Path("p2.tif"),
                               f.Path("p3.tif"), f.Path("p4.tif")};
    f.Tool("tiffcp", pages + QStringList{f.Path("mixed.tif")});
    f.Tool("tiffcp", A({"-B"}) + pages + QStringList{f.Path("mixed_be.tif")});
    f.Tool("tiffcp",
           A({"-t", "-w", "32", "-l", "48"}) + pages + QStringList{f.Path("mixed_tiled.tif")});
    f.Tool("tiffcp", A({"-B", "-t", "-w", "16", "-l", "16"}) + pages +
                         QStringList{f.Path("mixed_tiled_be.tif")});
    f.Tool("tiffcp", A({"-s", "-r", "7"}) + pages + QStringList{f.Path("mixed_strips.tif")});
    const Expect expect[] = {{PixelFormat1bppIndexed, true},
                             {PixelFormat8bppIndexed, true},
                             {PixelFormat24bppRGB, false},
                             {PixelFormat8bppIndexed, false, 1},
                             {PixelFormat1bppIndexed, true}};
    for (const char* name : {"mixed.tif", "mixed_be.tif", "mixed_tiled.tif", "mixed_tiled_be.tif",
                             "mixed_strips.tif"}) {
        const QString path = f.Path(QString::fromUtf8(name));
        auto b = TGPBitmapExt::FromFile(path);
        ASSERT_EQ(GetFrameCount(*b), 5) << name;
        EXPECT_EQ(GetFrameDimension(*b), FrameDimensionPage);
        // Backwards too: a frame is reached by its stored directory offset.
        for (int i = 4; i >= 0; --i)
            ExpectFrame(f, *b, path, i, expect[i]);
    }
}

TEST_F(DecodeTest, Gray16BigEndianKeepsSampleOrder) {
    f.Convert(A({"-size", "64x32", "gradient:", "-type", "Grayscale", "-depth", "16"}), "g16.tif");
    f.Tool("tiffcp", {QStringLiteral("-B"), f.Path("g16.tif"), f.Path("g16_be.tif")});
    auto b = TGPBitmapExt::FromFile(f.Path("g16_be.tif"));
    ExpectFrame(f, *b, f.Path("g16_be.tif"), 0, {PixelFormat16bppGrayScale, true, 1});
}

TEST_F(DecodeTest, JpegInTiffAndYCbCrGoThroughTheRgbaPath) {
    // JPEG strips of RGB samples decode strip by strip.
    f.Convert(A({"rose:", "-compress", "JPEG", "-quality", "90"}), "jpeg_rgb.tif");
    auto rgb = TGPBitmapExt::FromFile(f.Path("jpeg_rgb.tif"));
    ASSERT_EQ(GetFrameCount(*rgb), 1);
    ExpectFrame(f, *rgb, f.Path("jpeg_rgb.tif"), 0, {PixelFormat24bppRGB, false, 2});
    // YCbCr JPEG strips written by tiffcp.
    f.Convert(A({"rose:"}), "rose.tif");
    f.Tool("tiffcp", {QStringLiteral("-c"), QStringLiteral("jpeg:90"), QStringLiteral("-r"),
                      QStringLiteral("16"), f.Path("rose.tif"), f.Path("jpeg_ycbcr.tif")});
    auto b = TGPBitmapExt::FromFile(f.Path("jpeg_ycbcr.tif"));
    ASSERT_EQ(GetFrameCount(*b), 1);
    EXPECT_EQ(b->GetFlags() & ImageFlagsColorSpaceYCBCR, ImageFlagsColorSpaceYCBCR);
    // Two JPEG decoders may round colour conversion differently.
    ExpectFrame(f, *b, f.Path("jpeg_ycbcr.tif"), 0, {PixelFormat32bppRGB, false, 6});
}

TEST_F(DecodeTest, ContentDecidesNotTheExtension) {
    f.Convert(A({"rose:"}), "rose.ppm");
    f.Tool("cjpeg", {QStringLiteral("-outfile"), f.Path("jpeg_named.tif"), f.Path("rose.ppm")});
    auto b = TGPBitmapExt::FromFile(f.Path("jpeg_named.tif"));
    ASSERT_EQ(GetFrameCount(*b), 1);
    ExpectFrame(f, *b, f.Path("jpeg_named.tif"), 0, {PixelFormat24bppRGB, false, 1});

    f.Convert(A({"rose:", "-compress", "LZW"}), "tiff.tif");
    QFile::copy(f.Path("tiff.tif"), f.Path("tiff_named.bmp"));
    auto t = TGPBitmapExt::FromFile(f.Path("tiff_named.bmp"));
    ASSERT_EQ(GetFrameCount(*t), 1);
    ExpectFrame(f, *t, f.Path("tiff_named.bmp"), 0, {PixelFormat24bppRGB, false});
}

TEST_F(DecodeTest, JpegGrayAndProgressive) {
    f.Convert(A({"rose:"}), "rose.ppm");
    f.Tool("cjpeg", {QStringLiteral("-grayscale"), QStringLiteral("-outfile"), f.Path("gray.jpg"),
                     f.Path("rose.ppm")});
    f.Tool("cjpeg", {QStringLiteral("-progressive"), QStringLiteral("-outfile"), f.Path("prog.jpg"),
                     f.Path("rose.ppm")});
    auto g = TGPBitmapExt::FromFile(f.Path("gray.jpg"));
    ExpectFrame(f, *g, f.Path("gray.jpg"), 0, {PixelFormat8bppIndexed, true, 1});
    EXPECT_EQ(g->GetFlags() & ImageFlagsColorSpaceGRAY, ImageFlagsColorSpaceGRAY);
    auto p = TGPBitmapExt::FromFile(f.Path("prog.jpg"));
    ExpectFrame(f, *p, f.Path("prog.jpg"), 0, {PixelFormat24bppRGB, false, 1});
}

TEST_F(DecodeTest, BmpOfEveryDepth) {
    f.Tool(doctest::kConvert, A({"-size", "99x63", "gradient:white-black", "-threshold", "50%",
                                 "-monochrome", "-type", "Bilevel"}) +
                                  QStringList{"BMP3:" + f.Path("b1.bmp")});
    f.Tool(doctest::kConvert, A({"rose:", "-type", "Palette", "-colors", "200"}) +
                                  QStringList{"BMP3:" + f.Path("b8.bmp")});
    f.Tool(doctest::kConvert,
           A({"rose:", "-type", "TrueColor"}) + QStringList{"BMP3:" + f.Path("b24.bmp")});
    f.Tool(doctest::kConvert, A({"rose:", "-alpha", "set", "-type", "TrueColorAlpha"}) +
                                  QStringList{"BMP:" + f.Path("b32.bmp")});
    struct {
        const char* name;
        Expect expect;
    } cases[] = {{"b1.bmp", {PixelFormat1bppIndexed, true}},
                 {"b8.bmp", {PixelFormat8bppIndexed, false}},
                 {"b24.bmp", {PixelFormat24bppRGB, false}},
                 {"b32.bmp", {PixelFormat32bppARGB, false}}};
    for (auto& c : cases) {
        const QString path = f.Path(QString::fromUtf8(c.name));
        auto b = TGPBitmapExt::FromFile(path);
        ASSERT_EQ(GetFrameCount(*b), 1) << c.name;
        ExpectFrame(f, *b, path, 0, c.expect);
    }
}

TEST_F(DecodeTest, ResolutionFromTheFileInInches) {
    f.Convert(A({"rose:", "-units", "PixelsPerInch", "-density", "300"}), "dpi300.tif");
    f.Convert(A({"rose:", "-units", "PixelsPerCentimeter", "-density", "100"}), "dpcm100.tif");
    f.Tool(doctest::kConvert, A({"rose:", "-units", "PixelsPerInch", "-density", "150"}) +
                                  QStringList{"BMP3:" + f.Path("dpi150.bmp")});
    f.Convert(A({"rose:", "-units", "PixelsPerInch", "-density", "200"}), "dpi200.jpg");
    f.Convert(A({"rose:", "-strip"}), "none.tif");
    f.Convert(A({"rose:"}), "rose.ppm");
    f.Tool("cjpeg", {QStringLiteral("-outfile"), f.Path("none.jpg"), f.Path("rose.ppm")});
    EXPECT_DOUBLE_EQ(TGPBitmap::FromFile(f.Path("dpi300.tif"))->GetHorizontalResolution(), 300);
    EXPECT_NEAR(TGPBitmap::FromFile(f.Path("dpcm100.tif"))->GetHorizontalResolution(), 254, 0.01);
    EXPECT_NEAR(TGPBitmap::FromFile(f.Path("dpi150.bmp"))->GetHorizontalResolution(), 150, 0.1);
    EXPECT_NEAR(TGPBitmap::FromFile(f.Path("dpi200.jpg"))->GetHorizontalResolution(), 200, 0.01);
    auto none = TGPBitmap::FromFile(f.Path("none.jpg"));
    EXPECT_DOUBLE_EQ(none->GetHorizontalResolution(), 96);
    EXPECT_EQ(none->GetFlags() & ImageFlagsHasRealDPI, 0u);
    auto dpi = TGPBitmap::FromFile(f.Path("dpi300.tif"));
    EXPECT_EQ(dpi->GetFlags() &
                  (ImageFlagsHasRealDPI | ImageFlagsReadOnly | ImageFlagsHasRealPixelSize),
              ImageFlagsHasRealDPI | ImageFlagsReadOnly | ImageFlagsHasRealPixelSize);
}

TEST_F(DecodeTest, DamagedFilesGiveStatusesNotCrashes) {
    gdtest::WriteFile(f.Path("junk.tif"), QByteArray("this is not an image at all\n").repeated(20));
    auto junk = TGPBitmapExt::FromFile(f.Path("junk.tif"));
    EXPECT_EQ(GetFrameCount(*junk), 0);
    EXPECT_NE(junk->GetLastStatus(), GpStatus::Ok);
    EXPECT_TRUE(junk->ToQImage().isNull());
    EXPECT_EQ(junk->GetWidth(), 0);
    EXPECT_THROW(GetFrameDimension(*junk), SilentAbort);

    auto missing = TGPBitmapExt::FromFile(f.Path("missing.tif"));
    EXPECT_EQ(GetFrameCount(*missing), 0);
    EXPECT_EQ(missing->GetLastStatus(), GpStatus::FileNotFound);

    // A two-page file cut in the middle of its second page's data.
    f.Convert(A({"-size", "400x300", "plasma:", "-compress", "None"}), "a.tif");
    f.Convert(A({"-size", "400x300", "gradient:", "-compress", "None"}), "b.tif");
    f.Tool("tiffcp", {f.Path("a.tif"), f.Path("b.tif"), f.Path("two.tif")});
    const QByteArray whole = gdtest::ReadFile(f.Path("two.tif"));
    for (double cut : {0.9, 0.6, 0.3, 0.05}) {
        gdtest::WriteFile(f.Path("cut.tif"), whole.left(qsizetype(whole.size() * cut)));
        auto b = TGPBitmapExt::FromFile(f.Path("cut.tif"));
        const int n = GetFrameCount(*b);
        EXPECT_LE(n, 2);
        for (int i = 0; i < n; ++i) {
            SelectFrame(*b, i);
            b->ToQImage(); // may be partial; must not crash
        }
    }
}

TEST_F(DecodeTest, DirectoryLoopStopsTheFrameCount) {
    f.Convert(A({"-size", "20x20", "xc:white", "-compress", "None"}), "one.tif");
    f.Tool("tiffcp", {f.Path("one.tif"), f.Path("one.tif"), f.Path("loop.tif")});
    QByteArray data = gdtest::ReadFile(f.Path("loop.tif"));
    ASSERT_TRUE(data.startsWith("II"));
    // Point the second directory's "next" back at the first.
    auto u32 = [&](qsizetype at) {
        return quint32(uchar(data[at])) | quint32(uchar(data[at + 1])) << 8 |
               quint32(uchar(data[at + 2])) << 16 | quint32(uchar(data[at + 3])) << 24;
    };
    const quint32 first = u32(4);
    const quint16 n1 = quint16(uchar(data[first]) | uchar(data[first + 1]) << 8);
    const quint32 second = u32(first + 2 + n1 * 12);
    const quint16 n2 = quint16(uchar(data[second]) | uchar(data[second + 1]) << 8);
    const qsizetype next = second + 2 + n2 * 12;
    for (int i = 0; i < 4; ++i)
        data[next + i] = char((first >> (8 * i)) & 0xFF);
    gdtest::WriteFile(f.Path("loop.tif"), data);
    auto b = TGPBitmapExt::FromFile(f.Path("loop.tif"));
    EXPECT_EQ(GetFrameCount(*b), 2);
}

TEST(FrameLimits, PagesOverTheLimitsAreRefusedBeforeDecoding) {
    struct Case {
        quint32 w, h;
        bool rgb;
    } cases[] = {
        {60000, 60000, false}, // sides over the limit
        {20000, 20000, false}, // 400 million pixels in 400 MB
        {22000, 22000, true},
        {40000, 7501, false}, // just over 300 million pixels
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const QString path = dir.filePath(QStringLiteral("big.tif"));
        doctest::WriteShortTiff(path, c.w, c.h, c.rgb);
        auto b = TGPBitmapExt::FromFile(path);
        ASSERT_EQ(GetFrameCount(*b), 1);
        EXPECT_TRUE(b->ToQImage().isNull());
        EXPECT_EQ(b->FrameStatus(), GpStatus::OutOfMemory);
        EXPECT_EQ(b->DecodeCount(), 1);
        EXPECT_TRUE(FrameFailureText(*b).contains(QStringLiteral("%1 × %2").arg(c.w).arg(c.h)))
            << FrameFailureText(*b).toStdString();
    }
}

TEST(FrameLimits, ThreeHundredMillionPixelsAtMost) {
    EXPECT_TRUE(FrameSizeAllowed(20000, 15000, 32));
    EXPECT_FALSE(FrameSizeAllowed(20000, 15001, 1));
    EXPECT_FALSE(FrameSizeAllowed(40001, 10, 1));
    EXPECT_TRUE(FrameSizeAllowed(40000, 7500, 8));
}

} // namespace

namespace {

TEST(BigPages, StripsAndTilesDecodedOnTwoThreadsMatch) {
    Files f;
    // Over 4 MB decoded, in many strips: the second half goes to a worker.
    f.Convert(
        A({"-size", "160x120", "plasma:fractal", "-resize", "1400x1100!", "-depth", "8",
           "-compress", "LZW", "-define", "tiff:predictor=2", "-define", "tiff:rows-per-strip=16"}),
        "big.tif");
    f.Tool("tiffcp",
           {QStringLiteral("-t"), QStringLiteral("-w"), QStringLiteral("256"), QStringLiteral("-l"),
            QStringLiteral("128"), f.Path("big.tif"), f.Path("big_tiled.tif")});
    // One strip over 16 MB is decoded row by row, without a strip buffer.
    f.Convert(A({"-size", "160x120", "plasma:fractal", "-resize", "2600x2200!", "-depth", "8",
                 "-compress", "LZW", "-define", "tiff:rows-per-strip=2200"}),
              "big_onestrip.tif");
    for (const char* name : {"big.tif", "big_tiled.tif", "big_onestrip.tif"}) {
        auto b = TGPBitmapExt::FromFile(f.Path(QString::fromUtf8(name)));
        ExpectFrame(f, *b, f.Path(QString::fromUtf8(name)), 0, {PixelFormat24bppRGB, false});
    }
}

TEST(BigPages, FitKeepsRowsInPlace) {
    // Each row has its own gray level; the fit on two threads must keep them
    // in order.
    QImage img(3000, 2000, QImage::Format_Grayscale8);
    for (int y = 0; y < img.height(); ++y)
        std::memset(img.scanLine(y), y * 255 / 1999, size_t(img.bytesPerLine()));
    const QImage fit = FitImage(img, QSize(1000, 1000));
    ASSERT_EQ(fit.size(), QSize(1000, 667));
    for (int oy = 0; oy < fit.height(); ++oy) {
        const double centre = (oy + 0.5) * 2000.0 / 667 - 0.5;
        EXPECT_NEAR(qGray(fit.pixel(500, oy)), centre * 255 / 1999, 1.5) << oy;
    }
}

} // namespace
