#pragma once

// Test files made by independent tools (ImageMagick, libtiff tools, cjpeg)
// and the pixels those tools decode from them.

#include "document/GdipExt.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <tiffio.h>
#include <vector>

namespace doctest {

inline const QString kConvert = QStringLiteral("convert-im6.q16");

class Files {
public:
    QString Path(const QString& name) const { return FDir.filePath(name); }
    // Runs a tool in the folder; fails the test when it fails.
    void Tool(const QString& program, const QStringList& args) const {
        const gdtest::RunResult r = gdtest::Run(program, args, 60000);
        ASSERT_EQ(r.exitCode, 0) << program.toStdString() << " " << args.join(' ').toStdString()
                                 << ": " << r.err.toStdString();
    }
    // convert-im6.q16 args... name
    QString Convert(const QStringList& args, const QString& name) const {
        Tool(kConvert, args + QStringList{Path(name)});
        return Path(name);
    }
    // The frame as ImageMagick decodes it, as 8-bit gray or RGB.
    QImage Reference(const QString& file, int frame, bool gray) const {
        const QString out =
            Path(QStringLiteral("ref_%1.%2").arg(refCount++).arg(gray ? "pgm" : "ppm"));
        Tool(kConvert, {QStringLiteral("%1[%2]").arg(file).arg(frame), QStringLiteral("-alpha"),
                        QStringLiteral("off"), QStringLiteral("-depth"), QStringLiteral("8"), out});
        QImage img(out);
        return img.convertToFormat(gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    }

private:
    QTemporaryDir FDir;
    mutable int refCount = 0;
};

// Pages 100 + 10 i pixels wide (from firstWidth), 50 high, so each page is
// known by its width.
inline void MakePages(const QString& path, int count, int firstWidth = 100,
                      const char* colour = "white") {
    QStringList args;
    for (int i = 0; i < count; ++i)
        args << "-size" << QStringLiteral("%1x50").arg(firstWidth + 10 * i)
             << QString("xc:") + colour;
    const gdtest::RunResult r = gdtest::Run(kConvert, args << path, 60000);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
}

// Largest difference of any sample; -1 when the sizes differ.
inline int MaxDifference(const QImage& ours, const QImage& ref) {
    if (ours.size() != ref.size())
        return -1;
    const bool gray = ref.format() == QImage::Format_Grayscale8;
    const QImage a = ours.convertToFormat(gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    const int n = ref.width() * (gray ? 1 : 3);
    int worst = 0;
    for (int y = 0; y < ref.height(); ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = ref.constScanLine(y);
        for (int i = 0; i < n; ++i)
            worst = std::max(worst, std::abs(int(p[i]) - int(q[i])));
    }
    return worst;
}

// A TIFF of a few hundred bytes declaring an 8-bit gray (or RGB) page of the
// given size, whose one strip holds 16 bytes of it: a damaged page, or a
// small file that declares a huge one.
inline void WriteShortTiff(const QString& path, quint32 width, quint32 height, bool rgb = false) {
    TIFF* t = TIFFOpen(QFile::encodeName(path).constData(), "w");
    ASSERT_TRUE(t) << path.toStdString();
    const uint16_t spp = rgb ? 3 : 1;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, rgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
    uchar bytes[16] = {};
    const tmsize_t written = TIFFWriteRawStrip(t, 0, bytes, sizeof bytes);
    TIFFClose(t);
    ASSERT_EQ(written, tmsize_t(sizeof bytes));
}

// A document of `pages` 1-bit G4 pages, each showing its own number: ten
// vertical stripes, stripe b black when bit b of the page's index is set.
constexpr int kNumberedWidth = 250, kNumberedHeight = 350, kNumberedBits = 10;
inline void WriteNumberedDocument(const QString& path, int pages) {
    constexpr int stripe = kNumberedWidth / kNumberedBits;
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    ASSERT_NE(tif, nullptr);
    std::vector<uchar> row((kNumberedWidth + 7) / 8);
    for (int page = 0; page < pages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kNumberedWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kNumberedHeight);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kNumberedHeight);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < kNumberedWidth; ++x)
            if (page & (1 << (x / stripe)))
                row[size_t(x / 8)] |= uchar(0x80 >> (x % 8));
        for (int y = 0; y < kNumberedHeight; ++y)
            ASSERT_EQ(TIFFWriteScanline(tif, row.data(), uint32_t(y), 0), 1);
        ASSERT_EQ(TIFFWriteDirectory(tif), 1);
    }
    TIFFClose(tif);
}

// The number a picture of such a page shows (a thumbnail, or the page as
// painted); -1 for none.
inline int NumberOf(const QImage& picture) {
    if (picture.isNull())
        return -1;
    const QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    int n = 0;
    for (int b = 0; b < kNumberedBits; ++b) {
        const int x = int((b + 0.5) * gray.width() / kNumberedBits);
        if (gray.constScanLine(gray.height() / 2)[x] < 128)
            n |= 1 << b;
    }
    return n;
}

// The width of every page of the list, in order (the tests' pages differ in
// width, so this is their order).
inline std::vector<int> PageWidths(const gd::TImagePages& pages) {
    std::vector<int> widths;
    for (int i = 0; i < pages.Count(); ++i)
        widths.push_back(pages.Get(i)->GetBitmap()->GetWidth());
    return widths;
}

// A suite over one numbered document of kNumberedPages pages, written once
// per suite.
constexpr int kNumberedPages = 1000;
class NumberedDocumentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        files = new Files();
        WriteNumberedDocument(Path(), kNumberedPages);
    }
    static void TearDownTestSuite() {
        delete files;
        files = nullptr;
    }
    static QString Path() { return files->Path(QStringLiteral("numbered.tif")); }
    static inline Files* files = nullptr;
};

} // namespace doctest
