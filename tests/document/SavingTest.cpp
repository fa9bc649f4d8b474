// Saving the open document: formats, kept imports, variants, and the old file
// surviving every failed save (full disk, read-only folder, a blocked name).
#include "document/Saving.h"
#include "common/DocNames.h"
#include "common/Exception.h"
#include "document/DocTestSupport.h"
#include "document/Loading.h"
#include "document/OpenDocument.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

using namespace gd;
using doctest::Files;

namespace {

class Saving : public ::testing::Test {
protected:
    Files f;
    QString docs = f.Path("docs");
    QString defExt = QStringLiteral("tif");
    bool saveOriginal = true;
    TImagePages pages;
    // The document "a" as the window holds it, for saves of an edited picture.
    TOpenDocument doc{[this] { return defExt; }};

    void SetUp() override {
        QDir().mkpath(docs);
        doc.SetFolder(docs);
    }

    QString Doc(const QString& ext) const { return docs + "/a." + ext; }
    TSaveOptions Options() const {
        TSaveOptions o;
        o.defaultExt = defExt;
        o.keepOriginal = saveOriginal;
        o.jpegQuality = 60;
        return o;
    }
    TSaveOutcome Save(const TSaveOptions& o, const QString& name = QStringLiteral("a")) {
        return SaveDocument(pages, name.isEmpty() ? QString() : DocFileName(docs, name, defExt), o);
    }
    TSaveOutcome Save(const QString& name = QStringLiteral("a")) { return Save(Options(), name); }
    // Opens "a" and puts the picture in place of its first page, as an edit.
    TSaveOutcome SaveEdited(const QImage& picture, int page = 0) {
        doc.Open(QStringLiteral("a"));
        doc.SetCurrentPage(page);
        doc.SetPicture(picture);
        return doc.Save(Options());
    }
    // A 24-bit page 0 (120 x 80) and a 1-bit page 1 (200 x 100).
    void MakeColourAndBilevel(const QString& path) {
        const QString colour = f.Convert(
            {"-size", "120x80", "gradient:red-blue", "-depth", "8", "-type", "TrueColor"}, "c.tif");
        const QString bilevel = f.Convert(
            {"-size", "200x100", "pattern:checkerboard", "-monochrome", "-depth", "1"}, "b.tif");
        QFile::remove(path);
        f.Tool("tiffcp", {colour, bilevel, path});
    }
    QByteArray TiffInfo(const QString& path) {
        const gdtest::RunResult r = gdtest::Run("tiffinfo", {path});
        EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        return r.out;
    }
    QStringList Leftovers() const {
        return QDir(docs).entryList({"*.tmp"}, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }
};

} // namespace

TEST_F(Saving, TwoPagesAsTiffLzwForColourG4ForBilevelOtherVariantsDeleted) {
    MakeColourAndBilevel(Doc("tif"));
    gdtest::WriteFile(Doc("bmp"), "old bmp");
    gdtest::WriteFile(Doc("jpg"), "old jpg");
    OpenDocument(pages, Doc("tif"));
    const QImage ref0 = f.Reference(Doc("tif"), 0, false);
    const QImage ref1 = f.Reference(Doc("tif"), 1, true);
    pages.SetPageIndex(1);
    pages.SetModified(true);

    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_FALSE(QFile::exists(Doc("bmp")));
    EXPECT_FALSE(QFile::exists(Doc("jpg")));
    EXPECT_TRUE(Leftovers().isEmpty());
    EXPECT_FALSE(pages.FModified);
    ASSERT_EQ(pages.Count(), 2);
    EXPECT_EQ(pages.GetPageIndex(), 1);

    const QByteArray info = TiffInfo(Doc("tif"));
    const qsizetype second = info.indexOf("=== TIFF directory 1");
    ASSERT_GT(second, 0);
    EXPECT_TRUE(info.left(second).contains("Compression Scheme: LZW"));
    EXPECT_TRUE(info.left(second).contains("Bits/Sample: 8"));
    EXPECT_TRUE(info.mid(second).contains("Compression Scheme: CCITT Group 4"));
    EXPECT_TRUE(info.mid(second).contains("Bits/Sample: 1"));
    // The pages as another decoder reads them back.
    EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc("tif"), 0, false), ref0), 0);
    EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc("tif"), 1, true), ref1), 0);
}

TEST_F(Saving, AsBmpKeepsPageZeroOnlyAndDeletesTheOtherVariants) {
    MakeColourAndBilevel(Doc("tif"));
    gdtest::WriteFile(Doc("jpg"), "old jpg");
    OpenDocument(pages, Doc("tif"));
    const QImage ref0 = f.Reference(Doc("tif"), 0, false);
    pages.SetModified(true);
    defExt = "bmp";

    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_FALSE(QFile::exists(Doc("tif")));
    EXPECT_FALSE(QFile::exists(Doc("jpg")));
    EXPECT_EQ(pages.Count(), 1);
    EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc("bmp"), 0, false), ref0), 0);
}

TEST_F(Saving, AsJpegWithTheSettingsQuality) {
    MakeColourAndBilevel(Doc("tif"));
    OpenDocument(pages, Doc("tif"));
    pages.SetModified(true);
    defExt = "JPG";
    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_FALSE(QFile::exists(Doc("tif")));
    const gdtest::RunResult q = gdtest::Run("identify-im6.q16", {"-format", "%m %Q", Doc("jpg")});
    EXPECT_EQ(q.out.trimmed(), "JPEG 60");
}

TEST_F(Saving, ImportedTiffKeptByteForByteUnderTheDocumentName) {
    const QString scan = f.Path("Scan.TIF");
    MakeColourAndBilevel(scan);
    gdtest::WriteFile(Doc("bmp"), "old bmp");
    gdtest::WriteFile(Doc("jpg"), "old jpg");
    pages.LoadSource(OpenBitmap(scan));
    pages.SetModified(true);
    pages.FSourceFileName = scan;

    EXPECT_EQ(Save(), TSaveOutcome::Copied);
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), gdtest::ReadFile(scan));
    EXPECT_FALSE(QFile::exists(Doc("bmp")));
    EXPECT_FALSE(QFile::exists(Doc("jpg")));
    EXPECT_FALSE(pages.FModified);
    EXPECT_EQ(pages.Count(), 2); // still on the imported file
    EXPECT_TRUE(Leftovers().isEmpty());
}

TEST_F(Saving, ImportedJpegFileKeptUnderTheDocumentJpgName) {
    // a.jpeg would be a file the server never finds again: the same format is
    // kept under the document's own extension.
    const QString x = f.Convert({"-size", "64x48", "plasma:"}, "x.jpeg");
    gdtest::WriteFile(Doc("tif"), "old tif");
    gdtest::WriteFile(Doc("bmp"), "old bmp");
    pages.LoadSource(OpenBitmap(x));
    pages.SetModified(true);
    pages.FSourceFileName = x;

    EXPECT_EQ(Save(), TSaveOutcome::Copied);
    EXPECT_EQ(gdtest::ReadFile(Doc("jpg")), gdtest::ReadFile(x));
    EXPECT_FALSE(QFile::exists(Doc("tif")));
    EXPECT_FALSE(QFile::exists(Doc("bmp")));
    EXPECT_FALSE(QFile::exists(Doc("jpeg")));
}

TEST_F(Saving, ImportOfAnotherFormatOrChangedAfterImportIsReencoded) {
    const QString png = f.Convert({"-size", "30x20", "xc:green"}, "p.png");
    pages.LoadSource(OpenBitmap(png));
    pages.SetModified(true);
    pages.FSourceFileName = png;
    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_TRUE(TiffInfo(Doc("tif")).contains("Image Width: 30 Image Length: 20"));

    // Any page change after an import forgets the imported file.
    const QString scan = f.Path("Scan.tif");
    MakeColourAndBilevel(scan);
    pages.LoadSource(OpenBitmap(scan));
    pages.SetModified(true);
    pages.FSourceFileName = scan;
    CopyFramesIn(pages, png);
    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_NE(gdtest::ReadFile(Doc("tif")), gdtest::ReadFile(scan));
    EXPECT_EQ(pages.Count(), 3);
}

TEST_F(Saving, ImportOfTheDocumentsOwnFileCopiesNothing) {
    MakeColourAndBilevel(Doc("tif"));
    const QByteArray before = gdtest::ReadFile(Doc("tif"));
    pages.LoadSource(OpenBitmap(Doc("tif")));
    pages.SetModified(true);
    pages.FSourceFileName = Doc("tif");
    EXPECT_EQ(Save(), TSaveOutcome::Copied);
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), before);
    EXPECT_FALSE(pages.FModified);
}

TEST_F(Saving, DeletingTheOnlyPageDeletesTheFile) {
    f.Tool(doctest::kConvert, {"-size", "20x20", "xc:white", Doc("bmp")});
    doc.Open("a");
    doc.DeleteCurrentPage();
    EXPECT_TRUE(doc.Change().picture);
    EXPECT_EQ(doc.Save(Options()), TSaveOutcome::Deleted);
    EXPECT_FALSE(QFile::exists(Doc("bmp")));
    EXPECT_EQ(doc.PageCount(), 0);
    EXPECT_FALSE(doc.Change().picture || doc.Change().pages);
}

TEST_F(Saving, EmptyNameOrNothingChangedWritesNothing) {
    MakeColourAndBilevel(Doc("tif"));
    const QByteArray before = gdtest::ReadFile(Doc("tif"));
    OpenDocument(pages, Doc("tif"));
    pages.SetModified(true);
    EXPECT_EQ(Save(QString()), TSaveOutcome::Nothing);
    EXPECT_TRUE(pages.FModified);
    pages.SetModified(false);
    EXPECT_EQ(Save(), TSaveOutcome::Nothing);
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), before);
    EXPECT_EQ(QDir(docs).entryList(QDir::Files).size(), 1);
}

TEST_F(Saving, EditedPictureReplacesTheCurrentPage) {
    MakeColourAndBilevel(Doc("tif"));
    QImage edited(50, 40, QImage::Format_Mono);
    edited.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    edited.fill(0);
    EXPECT_EQ(SaveEdited(edited, 1), TSaveOutcome::Encoded);
    ASSERT_EQ(doc.PageCount(), 2);
    EXPECT_EQ(doc.PageIndex(), 1);
    EXPECT_EQ(doc.Picture().size(), QSize(50, 40)); // the page shown again, from the file
    TGPBitmap* b = doc.Pages().Get(1)->GetBitmap();
    EXPECT_EQ(b->GetWidth(), 50);
    EXPECT_EQ(b->GetPixelFormat(), PixelFormat1bppIndexed);
    EXPECT_EQ(doc.Pages().Get(0)->GetBitmap()->GetWidth(), 120);
}

TEST_F(Saving, ScannedPagesFilesGoneAfterAReencodingSave) {
    MakeColourAndBilevel(Doc("tif"));
    OpenDocument(pages, Doc("tif"));
    const QString scanned = QDir::temp().filePath("gdsave_scan_test.bmp");
    f.Tool(doctest::kConvert, {"-size", "40x30", "xc:yellow", scanned});
    pages.Add(TImagePage::CreateFromFile(scanned));
    pages.SetModified(true);
    EXPECT_EQ(Save(), TSaveOutcome::Encoded);
    EXPECT_FALSE(QFile::exists(scanned));
    ASSERT_EQ(pages.Count(), 3);
    EXPECT_EQ(pages.Get(2)->GetBitmap()->GetWidth(), 40);
}

TEST_F(Saving, APageThatCannotBeWrittenStopsTheSaveAndChangesNothing) {
    MakeColourAndBilevel(f.Path("two.tif"));
    // A page over the size limits, then the two pages (tiffcp would not copy it).
    doctest::WriteShortTiff(f.Path("three.tif"), 50000, 10);
    f.Tool("tiffcp", {"-a", f.Path("two.tif"), f.Path("three.tif")});
    struct Case {
        const char* what;
        const char* file;
        const char* ext;
        std::function<void()> change;
        const char* message;
    } cases[] = {
        {"failed copy", "two.tif", "tif",
         [&] { pages.Insert(1, TImagePage::CreateFromBitmap(nullptr)); },
         "Страница 2 не может быть сохранена: у неё нет изображения"},
        {"frame over the limits", "three.tif", "tif", [&] { pages.Delete(2); },
         "Страница 1 не может быть сохранена: Страница слишком велика: 50000 × 10 точек"},
        {"first page for a bmp", "three.tif", "bmp", [] {},
         "Страница 1 не может быть сохранена: Страница слишком велика: 50000 × 10 точек"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(Doc("tif"));
        ASSERT_TRUE(QFile::copy(f.Path(c.file), Doc("tif")));
        const QByteArray before = gdtest::ReadFile(Doc("tif"));
        OpenDocument(pages, Doc("tif"));
        c.change();
        pages.SetModified(true);
        defExt = c.ext;
        try {
            Save();
            ADD_FAILURE() << "saved";
        } catch (const Exception& e) {
            EXPECT_TRUE(e.message().startsWith(QString::fromUtf8(c.message)))
                << e.message().toStdString();
        }
        EXPECT_EQ(gdtest::ReadFile(Doc("tif")), before);
        EXPECT_FALSE(QFile::exists(Doc("bmp")));
        EXPECT_TRUE(Leftovers().isEmpty());
    }
}

TEST_F(Saving, AFrameOfAnUnknownCompressionIsCopiedAsItIs) {
    MakeColourAndBilevel(f.Path("two.tif"));
    f.Convert({"-size", "30x20", "xc:gray", "-depth", "8", "-compress", "None"}, "odd.tif");
    // Mark the frame as compressed by a method no codec knows.
    QByteArray odd = gdtest::ReadFile(f.Path("odd.tif"));
    ASSERT_TRUE(odd.startsWith("II"));
    auto u16 = [&](qsizetype at) { return quint16(uchar(odd[at]) | uchar(odd[at + 1]) << 8); };
    const qsizetype ifd = qsizetype(quint32(uchar(odd[4])) | quint32(uchar(odd[5])) << 8 |
                                    quint32(uchar(odd[6])) << 16 | quint32(uchar(odd[7])) << 24);
    bool marked = false;
    for (int i = 0; i < u16(ifd); ++i) {
        const qsizetype entry = ifd + 2 + i * 12;
        if (u16(entry) == 259) {
            odd[entry + 8] = char(60000 & 0xFF);
            odd[entry + 9] = char(60000 >> 8);
            marked = true;
        }
    }
    ASSERT_TRUE(marked);
    gdtest::WriteFile(Doc("tif"), odd);
    f.Tool("tiffcp", {"-a", f.Path("two.tif") + ",0", Doc("tif")});

    for (bool copyCompressed : {true, false}) {
        OpenDocument(pages, Doc("tif"));
        ASSERT_EQ(pages.Count(), 2);
        // Never shown as a black page: as one that cannot be shown.
        TGPBitmap* b = pages.Get(0)->GetBitmap();
        EXPECT_TRUE(b->ToQImage().isNull());
        EXPECT_EQ(b->FrameStatus(), GpStatus::UnknownImageFormat);
        EXPECT_FALSE(FrameFailureText(*b).isEmpty());
        pages.SetModified(true);
        TSaveOptions o = Options();
        o.copyCompressed = copyCompressed;
        ASSERT_EQ(Save(o), TSaveOutcome::Encoded);
        const QByteArray info = TiffInfo(Doc("tif"));
        const qsizetype second = info.indexOf("=== TIFF directory 1");
        ASSERT_GT(second, 0);
        EXPECT_TRUE(info.left(second).contains("Compression Scheme: 60000")) << info.constData();
        EXPECT_TRUE(info.left(second).contains("Image Width: 30 Image Length: 20"));
    }
}

TEST_F(Saving, UntouchedPagesComeFromTheFileAsOpened) {
    MakeColourAndBilevel(f.Path("two.tif"));
    f.Convert({"-size", "50x40", "xc:red", "-depth", "8", "-type", "TrueColor"}, "other.tif");
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "deleted" : "renamed over");
        QFile::remove(Doc("tif"));
        ASSERT_TRUE(QFile::copy(f.Path("two.tif"), Doc("tif")));
        const QImage ref0 = f.Reference(Doc("tif"), 0, false);
        const QImage ref1 = f.Reference(Doc("tif"), 1, true);
        OpenDocument(pages, Doc("tif"));
        if (deleted) {
            ASSERT_TRUE(QFile::remove(Doc("tif")));
        } else {
            QFile::copy(f.Path("other.tif"), f.Path("other-copy.tif"));
            ASSERT_EQ(std::rename(QFile::encodeName(f.Path("other-copy.tif")).constData(),
                                  QFile::encodeName(Doc("tif")).constData()),
                      0);
        }
        pages.SetModified(true);
        TSaveOptions o = Options();
        o.threads = 2;
        ASSERT_EQ(Save(o), TSaveOutcome::Encoded);
        ASSERT_EQ(pages.Count(), 2);
        EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc("tif"), 0, false), ref0), 0);
        EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc("tif"), 1, true), ref1), 0);
    }
}

TEST_F(Saving, AStatedResolutionIsKeptAndNoneIsOnlyAMissingTag) {
    struct Case {
        QStringList density; // ImageMagick's options; none: no resolution tags
        double dpi;
    } cases[] = {
        {{"-units", "PixelsPerInch", "-density", "72"}, 72},
        {{"-units", "PixelsPerInch", "-density", "300"}, 300},
        {{}, 96},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dpi);
        QFile::remove(Doc("tif"));
        f.Convert(QStringList{"-size", "40x30", "xc:gray", "-depth", "8"} + c.density, "a.tif");
        ASSERT_TRUE(QFile::rename(f.Path("a.tif"), Doc("tif")));
        OpenDocument(pages, Doc("tif"));
        TGPBitmap* page = pages.Get(0)->GetBitmap();
        EXPECT_EQ(page->GetHorizontalResolution(), c.dpi);
        EXPECT_EQ((page->GetFlags() & ImageFlagsHasRealDPI) != 0, !c.density.isEmpty());
        // The page edited: its picture goes back through the page list.
        const QImage picture = page->ToQImage();
        pages.LoadSource(nullptr);
        ASSERT_EQ(SaveEdited(picture), TSaveOutcome::Encoded);
        EXPECT_EQ(doc.Pages().Get(0)->GetBitmap()->GetHorizontalResolution(), c.dpi);
        EXPECT_EQ(doc.Pages().Get(0)->GetBitmap()->GetVerticalResolution(), c.dpi);
        doc.Close();
    }
}

TEST_F(Saving, PagesKeepTheirOrderWhateverTheThreads) {
    // Pages of different sizes, some on the file and some of their own.
    QStringList args;
    for (int i = 0; i < 9; ++i)
        args << "-size" << QStringLiteral("%1x%2").arg(40 + i * 7).arg(30 + i) << "xc:gray";
    f.Tool(doctest::kConvert, args << Doc("tif"));
    OpenDocument(pages, Doc("tif"));
    for (int i = 0; i < 4; ++i) {
        QImage img(300 + i, 10, QImage::Format_RGB888);
        img.fill(Qt::blue);
        pages.Insert(2 * i + 1, PageFromImage(img));
    }
    pages.SetModified(true);
    const std::vector<int> widths = doctest::PageWidths(pages);
    for (int threads : {1, 2, 3}) {
        TSaveOptions o = Options();
        o.threads = threads;
        int calls = 0;
        o.progress = [&](int done, int total) {
            EXPECT_EQ(done, ++calls);
            EXPECT_EQ(total, 13);
        };
        pages.SetModified(true);
        ASSERT_EQ(Save(o), TSaveOutcome::Encoded);
        EXPECT_EQ(calls, 13);
        EXPECT_EQ(doctest::PageWidths(pages), widths) << threads;
    }
}

// ---- Failed saves ------------------------------------------------------------------

namespace {

// A small file system of its own (needs the right to mount; skipped without).
class MountedFolder {
public:
    explicit MountedFolder(const QString& path, const QString& size) : FPath(path) {
        QDir().mkpath(path);
        FMounted =
            gdtest::Run("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", path}).exitCode ==
            0;
    }
    ~MountedFolder() {
        if (FMounted)
            gdtest::Run("umount", {FPath});
    }
    bool Mounted() const { return FMounted; }
    bool ReadOnly() { return gdtest::Run("mount", {"-o", "remount,ro", FPath}).exitCode == 0; }

private:
    QString FPath;
    bool FMounted = false;
};

} // namespace

TEST_F(Saving, FullDiskLeavesTheOldDocumentAndItsVariants) {
    MountedFolder disk(docs, "256k");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a small file system here";
    MakeColourAndBilevel(Doc("tif"));
    gdtest::WriteFile(Doc("bmp"), "old bmp");
    const QByteArray tif = gdtest::ReadFile(Doc("tif"));
    OpenDocument(pages, Doc("tif"));
    // Noise does not compress: far more than the disk holds.
    QImage noise(800, 600, QImage::Format_RGB888);
    quint32 seed = 1;
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.bytesPerLine(); ++x)
            noise.scanLine(y)[x] = uchar((seed = seed * 1103515245 + 12345) >> 16);
    pages.Add(PageFromImage(noise));
    pages.SetModified(true);
    try {
        Save();
        FAIL() << "a save onto a full disk must fail";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Не удалось сохранить документ \"" + Doc("tif") + "\"");
    }
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), tif);
    EXPECT_EQ(gdtest::ReadFile(Doc("bmp")), "old bmp");
    EXPECT_TRUE(Leftovers().isEmpty());
    EXPECT_TRUE(pages.FModified);
    EXPECT_EQ(pages.Count(), 3);
    pages.LoadSource(nullptr);
}

TEST_F(Saving, FullDiskForABmpLeavesTheOldDocument) {
    MountedFolder disk(docs, "64k");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a small file system here";
    f.Tool(doctest::kConvert, {"-size", "20x20", "xc:white", Doc("jpg")});
    const QByteArray jpg = gdtest::ReadFile(Doc("jpg"));
    defExt = "bmp";
    QImage big(400, 300, QImage::Format_RGB888); // 360 KB as a BMP
    big.fill(Qt::red);
    EXPECT_THROW(SaveEdited(big), Exception);
    EXPECT_EQ(gdtest::ReadFile(Doc("jpg")), jpg);
    EXPECT_FALSE(QFile::exists(Doc("bmp")));
    EXPECT_TRUE(Leftovers().isEmpty());
    EXPECT_TRUE(doc.Change().pages); // still unsaved
    doc.Close();
}

TEST_F(Saving, ReadOnlyFolderLeavesTheOldDocument) {
    MountedFolder disk(docs, "1m");
    if (!disk.Mounted())
        GTEST_SKIP() << "cannot mount a small file system here";
    MakeColourAndBilevel(Doc("tif"));
    gdtest::WriteFile(Doc("jpg"), "old jpg");
    const QByteArray tif = gdtest::ReadFile(Doc("tif"));
    ASSERT_TRUE(disk.ReadOnly());
    OpenDocument(pages, Doc("tif"));
    pages.SetModified(true);
    EXPECT_THROW(Save(), Exception);
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), tif);
    EXPECT_EQ(gdtest::ReadFile(Doc("jpg")), "old jpg");
    EXPECT_TRUE(pages.FModified);
    pages.LoadSource(nullptr);
}

TEST_F(Saving, BlockedNewFileLeavesTheOldDocument) {
    // Where the new file must go there is a folder: nothing can be written.
    MakeColourAndBilevel(Doc("tif"));
    gdtest::WriteFile(Doc("bmp"), "old bmp");
    const QByteArray tif = gdtest::ReadFile(Doc("tif"));
    const QString blocked = docs + "/~blocked.tmp";
    QDir().mkpath(blocked);
    OpenDocument(pages, Doc("tif"));
    pages.SetModified(true);
    TSaveOptions o = Options();
    o.makeTempFileName = [&](const QString&) { return blocked; };
    EXPECT_THROW(Save(o), Exception);
    EXPECT_EQ(gdtest::ReadFile(Doc("tif")), tif);
    EXPECT_EQ(gdtest::ReadFile(Doc("bmp")), "old bmp");
    EXPECT_TRUE(QFileInfo(blocked).isDir());
    EXPECT_EQ(pages.Count(), 2);

    // The document's own name taken by a folder: the rename fails.
    pages.LoadSource(nullptr);
    QFile::remove(Doc("tif"));
    QDir().mkpath(Doc("tif"));
    QImage small(10, 10, QImage::Format_RGB888);
    small.fill(Qt::black);
    pages.Add(PageFromImage(small));
    pages.SetModified(true);
    EXPECT_THROW(Save(), Exception);
    EXPECT_TRUE(QFileInfo(Doc("tif")).isDir());
    EXPECT_EQ(gdtest::ReadFile(Doc("bmp")), "old bmp");
    EXPECT_EQ(Leftovers(), QStringList({"~blocked.tmp"}));
}
