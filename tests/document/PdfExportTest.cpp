// The PDF export: every kind of page keeps its pixels (rendered back by
// poppler and compared with the page as this program decodes it), its depth
// and, where the PDF format allows, its stored data; failures leave no file.
#include "document/PdfExport.h"
#include "common/Exception.h"
#include "document/DocTestSupport.h"
#include "document/GdipExt.h"
#include "document/Loading.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <tiffio.h>

using namespace gd;
using doctest::Files;
using doctest::MaxDifference;

namespace {

// poppler smooths images drawn at less than four times their size, so pages
// are rendered at four times their resolution and each 4 x 4 block's centre
// is taken: exactly one rendered pixel per pixel of the page.
QImage Render(const Files& f, const QString& pdf, int page, double dpi, bool gray) {
    const QString base = f.Path(QStringLiteral("render%1").arg(page));
    QStringList args = {"-r", QString::number(dpi * 4), "-f",         QString::number(page),
                        "-l", QString::number(page),    "-singlefile"};
    if (gray)
        args << "-gray";
    f.Tool("pdftoppm", args + QStringList{pdf, base});
    const QImage big(base + (gray ? ".pgm" : ".ppm"));
    const QImage::Format format = gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888;
    const QImage b = big.convertToFormat(format);
    QImage out(b.width() / 4, b.height() / 4, format);
    const int c = gray ? 1 : 3;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            std::memcpy(out.scanLine(y) + x * c, b.constScanLine(y * 4 + 2) + (x * 4 + 2) * c,
                        size_t(c));
    return out;
}

// The frame as this program decodes it, on white paper.
QImage Decoded(const QString& file, int frame, bool gray) {
    auto b = TGPBitmap::FromFile(file);
    b->SelectActiveFrame(frame);
    QImage img = b->ToQImage();
    if (img.hasAlphaChannel()) {
        QImage paper(img.size(), QImage::Format_RGB888);
        paper.fill(Qt::white);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QColor p = img.pixelColor(x, y);
                const int a = p.alpha();
                auto blend = [a](int v) { return (v * a + 255 * (255 - a) + 127) / 255; };
                paper.setPixelColor(x, y,
                                    QColor(blend(p.red()), blend(p.green()), blend(p.blue())));
            }
        img = paper;
    }
    return img.convertToFormat(gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
}

QStringList A(std::initializer_list<const char*> list) {
    QStringList l;
    for (const char* s : list)
        l << QString::fromUtf8(s);
    return l;
}

// The fields of `pdfimages -list` for the image of each page:
// {color, comp, bpc, enc}.
std::vector<QStringList> ImageList(const QString& pdf) {
    const gdtest::RunResult r = gdtest::Run("pdfimages", {"-list", pdf});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    std::vector<QStringList> out;
    const QList<QByteArray> lines = r.out.split('\n');
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QStringList f = QString::fromLatin1(lines[i]).split(u' ', Qt::SkipEmptyParts);
        if (f.size() >= 10 && f[2] == u"image")
            out.push_back({f[5], f[6], f[7], f[8]});
    }
    return out;
}

void ExpectChecked(const QString& pdf) {
    const gdtest::RunResult r = gdtest::Run("qpdf", {"--check", pdf});
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
}

class PdfExport : public ::testing::Test {
protected:
    Files f;
    QString out = f.Path("out.pdf");

    // Exports the whole document at `path` as the program opens it.
    void Export(const QString& path, const QString& to) {
        TImagePages pages;
        OpenDocument(pages, path);
        ASSERT_GT(pages.Count(), 0) << path.toStdString();
        ExportPdf(PdfPagesOf(pages, false, std::nullopt), to);
    }
};

struct Kind {
    const char* name;
    QStringList args;   // convert-im6.q16 arguments; empty: made by `make`
    const char* filter; // as pdfimages names it
    const char* color;
    int bpc;
    bool gray;
    int tolerance = 0; // gray16 to 8 bits and alpha on paper round either way
};

TEST_F(PdfExport, EveryKindOfPageKeepsItsPixelsDepthAndData) {
    const QStringList bilevel =
        A({"-size", "203x117", "gradient:white-black", "-threshold", "40%", "-monochrome", "-depth",
           "1", "-density", "150", "-units", "PixelsPerInch"});
    const QStringList gray8 =
        A({"-size", "70x50", "gradient:", "-type", "Grayscale", "-depth", "8"});
    const std::vector<Kind> kinds = {
        {"g4.tif", bilevel + A({"-compress", "Group4"}), "ccitt", "gray", 1, true},
        {"g4_minisblack.tif",
         bilevel + A({"-define", "tiff:photometric=min-is-black", "-compress", "Group4"}), "ccitt",
         "gray", 1, true},
        {"g3.tif", bilevel + A({"-compress", "Fax"}), "ccitt", "gray", 1, true},
        {"g3_2d.tif", {}, "ccitt", "gray", 1, true},
        // Strips of G4 cannot follow one another in one fax stream.
        {"g4_strips.tif", {}, "image", "gray", 1, true},
        {"packbits.tif",
         bilevel + A({"-define", "tiff:photometric=min-is-black", "-compress", "RLE"}), "image",
         "gray", 1, true},
        {"gray8.tif", gray8 + A({"-compress", "LZW"}), "image", "gray", 8, true},
        {"gray16.tif", A({"-size", "60x40", "gradient:", "-type", "Grayscale", "-depth", "16"}),
         "image", "gray", 16, true, 1},
        {"pal1.tif", A({"rose:", "-colors", "2", "-depth", "1", "-type", "Palette"}), "image",
         "index", 1, false},
        {"pal2.tif", A({"rose:", "-colors", "4", "-depth", "2", "-type", "Palette"}), "image",
         "index", 2, false},
        {"pal4.tif", A({"rose:", "-colors", "16", "-depth", "4", "-type", "Palette"}), "image",
         "index", 4, false},
        {"pal8.tif", A({"rose:", "-type", "Palette", "-compress", "LZW"}), "image", "index", 8,
         false},
        {"rgb.tif", A({"rose:", "-compress", "Zip", "-density", "72", "-units", "PixelsPerInch"}),
         "image", "rgb", 8, false},
        {"rgba.tif",
         A({"rose:", "-alpha", "set", "-channel", "A", "-fx", "i/w", "-compress", "LZW"}), "image",
         "rgb", 8, false, 1},
        {"cmyk.tif", A({"rose:", "-colorspace", "CMYK"}), "image", "rgb", 8, false},
        {"jpeg.tif", A({"rose:", "-compress", "JPEG"}), "jpeg", "rgb", 8, false},
        {"tiled.tif", {}, "image", "gray", 8, true},
        {"doc.bmp", A({"rose:"}), "image", "rgb", 8, false},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const QString name = QString::fromUtf8(k.name);
        QString path = f.Path(name);
        if (!k.args.isEmpty()) {
            f.Convert(k.args, name);
        } else if (name == u"g3_2d.tif") {
            f.Convert(bilevel + A({"-compress", "Group4"}), "src.tif");
            f.Tool("tiffcp", A({"-c", "g3:2d:fill"}) + QStringList{f.Path("src.tif"), path});
        } else if (name == u"g4_strips.tif") {
            f.Convert(bilevel + A({"-compress", "Group4"}), "src.tif");
            f.Tool("tiffcp", A({"-c", "g4", "-r", "16"}) + QStringList{f.Path("src.tif"), path});
        } else {
            f.Convert(gray8, "src.tif");
            f.Tool("tiffcp",
                   A({"-t", "-w", "32", "-l", "16"}) + QStringList{f.Path("src.tif"), path});
        }
        const QString pdf = f.Path(name + ".pdf");
        Export(path, pdf);
        ExpectChecked(pdf);
        const std::vector<QStringList> images = ImageList(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0][0], QString::fromLatin1(k.color));
        EXPECT_EQ(images[0][2], QString::number(k.bpc));
        EXPECT_EQ(images[0][3], QString::fromLatin1(k.filter));

        auto b = TGPBitmap::FromFile(path);
        const double dpi = b->GetHorizontalResolution();
        const QImage ours = Decoded(path, 0, k.gray);
        const int diff = MaxDifference(Render(f, pdf, 1, dpi, k.gray), ours);
        EXPECT_GE(diff, 0) << "size differs";
        EXPECT_LE(diff, k.tolerance);
    }
}

// JPEG documents are embedded as they are; their pixels are libjpeg's.
TEST_F(PdfExport, JpegDocumentsArePassedThrough) {
    const QString jpg = f.Convert(
        A({"rose:", "-quality", "85", "-density", "120", "-units", "PixelsPerInch"}), "a.jpg");
    Export(jpg, out);
    ExpectChecked(out);
    const std::vector<QStringList> images = ImageList(out);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0][3], QStringLiteral("jpeg"));
    EXPECT_EQ(images[0][0], QStringLiteral("rgb"));
    f.Tool("sh", {"-c", QStringLiteral("djpeg -pnm '%1' > '%2'").arg(jpg, f.Path("lib.ppm"))});
    const QImage lib = QImage(f.Path("lib.ppm")).convertToFormat(QImage::Format_RGB888);
    EXPECT_EQ(MaxDifference(Render(f, out, 1, 120, false), lib), 0);

    // Adobe CMYK JPEGs store their inks inverted; img2pdf, which knows, is
    // the reference for how the page must look.
    const QString cmyk = f.Convert(A({"rose:", "-colorspace", "CMYK"}), "cmyk.jpg");
    Export(cmyk, out);
    ExpectChecked(out);
    const std::vector<QStringList> cmykImages = ImageList(out);
    ASSERT_EQ(cmykImages.size(), 1u);
    EXPECT_EQ(cmykImages[0][0], QStringLiteral("cmyk"));
    EXPECT_EQ(cmykImages[0][3], QStringLiteral("jpeg"));
    const QString peer = f.Path("peer.pdf");
    f.Tool("img2pdf", {cmyk, "-o", peer});
    auto b = TGPBitmap::FromFile(cmyk);
    const double dpi = b->GetHorizontalResolution();
    EXPECT_EQ(MaxDifference(Render(f, out, 1, dpi, false), Render(f, peer, 1, dpi, false)), 0);
}

// What the window shows: the edited picture in place of its page, a page
// deleted in the editor left out, pages inserted from another file.
TEST_F(PdfExport, PagesAsShownWithUnsavedEdits) {
    const QString g4 =
        f.Convert(A({"-size", "64x48", "xc:white", "-monochrome", "-compress", "Group4"}), "p.tif");
    const QString doc = f.Path("doc.tif");
    f.Tool("tiffcp", {g4, g4, g4, doc});
    TImagePages pages;
    OpenDocument(pages, doc);
    pages.SetPageIndex(0);
    CopyFramesIn(pages, f.Convert(A({"rose:"}), "rose.bmp")); // after page 0
    ASSERT_EQ(pages.Count(), 4);
    pages.SetPageIndex(2);
    QImage edited(30, 20, QImage::Format_RGB888);
    edited.fill(QColor(10, 200, 30));
    ExportPdf(PdfPagesOf(pages, true, edited), out);
    ASSERT_EQ(ImageList(out).size(), 4u);
    EXPECT_EQ(ImageList(out)[1][3], QStringLiteral("image")); // the inserted BMP
    EXPECT_EQ(MaxDifference(Render(f, out, 3, 96, false), edited), 0);
    EXPECT_EQ(pages.Count(), 4); // the list is not changed

    ExportPdf(PdfPagesOf(pages, true, std::nullopt), out);
    EXPECT_EQ(ImageList(out).size(), 3u);
}

// A page that cannot be read stops the export naming the page; a file that
// cannot be written names the file; neither leaves anything behind, and an
// older file of that name stays as it was.
TEST_F(PdfExport, FailuresLeaveNoFile) {
    const QString g4 =
        f.Convert(A({"-size", "64x48", "xc:white", "-monochrome", "-compress", "Group4"}), "p.tif");
    const QString gray = f.Convert(
        A({"-size", "64x48", "gradient:", "-type", "Grayscale", "-depth", "8", "-compress", "LZW"}),
        "g.tif");
    const QString doc = f.Path("doc.tif");
    f.Tool("tiffcp", {g4, gray, g4, doc});
    { // LZW codes the decoder rejects over page 2's strip
        TIFF* t = TIFFOpen(QFile::encodeName(doc).constData(), "r");
        ASSERT_TRUE(t && TIFFSetDirectory(t, 1));
        const uint64_t at = TIFFGetStrileOffset(t, 0), size = TIFFGetStrileByteCount(t, 0);
        TIFFClose(t);
        QFile file(doc);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.seek(qint64(at)));
        file.write(QByteArray(qsizetype(size), '\xFF'));
    }
    const QString folder = f.Path("pdfs");
    QDir().mkpath(folder);
    const QString target = folder + "/doc.pdf";
    gdtest::WriteFile(target, "old");
    try {
        Export(doc, target);
        ADD_FAILURE() << "a broken page was exported";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("страница 2 "))) << e.what();
    }
    EXPECT_EQ(gdtest::ReadFile(target), QByteArray("old"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"doc.pdf"});

    // The name is taken by a folder: the file is written beside it, and the
    // rename fails.
    const QString taken = folder + "/dir.pdf";
    QDir().mkpath(taken);
    try {
        Export(g4, taken);
        ADD_FAILURE() << "written over a folder";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.message().contains(taken)) << e.what();
    }
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{"dir.pdf", "doc.pdf"}));
}

// gdexport, end to end: silent success, one line and status 1 on failure.
TEST_F(PdfExport, CommandLine) {
    const QString exe = QStringLiteral(GD_EXPORT_EXE);
    const QString doc = f.Convert(A({"rose:", "-compress", "LZW"}), "a.tif");
    gdtest::RunResult r = gdtest::Run(exe, {doc, out});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.isEmpty() && r.err.isEmpty()) << r.err.constData();
    ExpectChecked(out);
    EXPECT_EQ(MaxDifference(Render(f, out, 1, 96, false), Decoded(doc, 0, false)), 0);

    r = gdtest::Run(exe, {f.Path("none.tif"), f.Path("none.pdf")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
    EXPECT_FALSE(QFileInfo::exists(f.Path("none.pdf")));
    r = gdtest::Run(exe, {doc, f.Path("no/such/folder/a.pdf")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.constData();
}

} // namespace
