// The open document without a window: its name and file, the pages shown,
// edits of the picture, pages from files, import, undo and save.
#include "document/OpenDocument.h"
#include "common/Exception.h"
#include "document/DocTestSupport.h"

#include <QDir>
#include <QFile>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

using namespace gd;
using doctest::MakePages;

namespace {

class OpenDoc : public ::testing::Test {
protected:
    doctest::Files f;
    QString docs = f.Path("docs");
    QString defExt = QStringLiteral("tif");
    TOpenDocument doc{[this] { return defExt; }};
    int changes = 0;

    void SetUp() override {
        QDir().mkpath(docs);
        doc.SetFolder(docs);
        doc.Changed = [this] { ++changes; };
    }
    QString Doc(const QString& ext = QStringLiteral("tif")) const { return docs + "/A." + ext; }
    std::vector<int> Widths() const { return doctest::PageWidths(doc.Pages()); }
};

} // namespace

TEST_F(OpenDoc, NameToFileAndOpeningOnlyWhatExistsInTheFolder) {
    EXPECT_FALSE(doc.Open("A")); // no file: an empty document under the name
    EXPECT_EQ(doc.FileName(), Doc("tif"));
    EXPECT_EQ(doc.PageIndex(), -1);
    defExt = "jpg";
    EXPECT_EQ(doc.FileName(), Doc("jpg"));
    MakePages(Doc("bmp"), 1);
    EXPECT_EQ(doc.FileName(), Doc("bmp"));
    EXPECT_TRUE(doc.Open("A"));
    EXPECT_EQ(doc.Picture().width(), 100);

    // A name set alone (DELETE) leaves the pages shown.
    const int before = changes;
    doc.SetName("B");
    EXPECT_EQ(changes, before + 1);
    EXPECT_EQ(doc.PageCount(), 1);
    EXPECT_EQ(doc.FileName(), docs + "/B.jpg");

    // A link that leads out of the folder is not followed.
    MakePages(f.Path("outside.tif"), 2);
    ASSERT_TRUE(QFile::link(f.Path("outside.tif"), docs + "/L.tif"));
    EXPECT_FALSE(doc.Open("L"));
    EXPECT_EQ(doc.PageCount(), 0);
    doc.Close();
    EXPECT_TRUE(doc.Name().isEmpty());
    EXPECT_TRUE(doc.FileName().isEmpty());
}

TEST_F(OpenDoc, InsertThreePagesWhileTheSecondOfFiveIsShown) {
    MakePages(Doc(), 5);
    const QString three = f.Path("three.tif");
    MakePages(three, 3, 500);
    ASSERT_TRUE(doc.Open("A"));
    doc.SetCurrentPage(1);
    EXPECT_EQ(doc.InsertFramesFrom(three), 3);
    EXPECT_EQ(Widths(), std::vector<int>({100, 110, 500, 510, 520, 120, 130, 140}));
    EXPECT_EQ(doc.PageIndex(), 2);
    EXPECT_EQ(doc.Picture().width(), 500);
    EXPECT_TRUE(doc.Change().pages);
}

TEST_F(OpenDoc, DeletedPageComesBackByPaging) {
    MakePages(Doc(), 3);
    ASSERT_TRUE(doc.Open("A"));
    doc.SetCurrentPage(1);
    doc.DeleteCurrentPage();
    EXPECT_TRUE(doc.Picture().isNull());
    EXPECT_TRUE(doc.Change().picture);
    doc.SetCurrentPage(2);
    doc.SetCurrentPage(1);
    EXPECT_EQ(doc.Picture().width(), 110);
    EXPECT_FALSE(doc.Change().picture || doc.Change().pages);
    EXPECT_EQ(doc.PageCount(), 3);
}

TEST_F(OpenDoc, DeleteThenSaveRemovesThePage) {
    MakePages(Doc(), 3);
    ASSERT_TRUE(doc.Open("A"));
    doc.SetCurrentPage(1);
    doc.DeleteCurrentPage();
    ASSERT_EQ(doc.Save({}), TSaveOutcome::Encoded);
    EXPECT_EQ(Widths(), std::vector<int>({100, 120}));
    EXPECT_EQ(doc.PageIndex(), 1);
    EXPECT_EQ(doc.Picture().width(), 120);
    // The file itself holds two pages now.
    doc.Reload();
    EXPECT_EQ(Widths(), std::vector<int>({100, 120}));
}

TEST_F(OpenDoc, ImportThenUndoReloadsTheDocument) {
    MakePages(Doc(), 2);
    const QString scan = f.Path("Scan.TIF");
    MakePages(scan, 3, 600);
    const QByteArray imported = gdtest::ReadFile(scan);
    ASSERT_TRUE(doc.Open("A"));
    doc.Import(scan);
    EXPECT_EQ(Widths(), std::vector<int>({600, 610, 620}));
    EXPECT_EQ(doc.Pages().FSourceFileName, scan);
    EXPECT_TRUE(doc.Change().pages);
    doc.Reload();
    EXPECT_EQ(Widths(), std::vector<int>({100, 110}));
    EXPECT_FALSE(doc.Change().pages);
    EXPECT_EQ(gdtest::ReadFile(scan), imported);

    // Imported and saved as it is: kept byte for byte.
    doc.Import(scan);
    TSaveOptions keep;
    keep.keepOriginal = true;
    ASSERT_EQ(doc.Save(keep), TSaveOutcome::Copied);
    EXPECT_EQ(gdtest::ReadFile(Doc()), imported);
}

// ---- The organiser's operations ---------------------------------------------------

namespace {

// A page of the result: frame `frame` of file A (or B) turned by `degrees`.
struct TExpectedPage {
    char file;
    int frame;
    int degrees;
};

struct TOrganiserCase {
    const char* what;
    std::function<void(TOpenDocument&, const QString& b)> run;
    std::vector<TExpectedPage> pages;
    int current; // shown before: page 1 (the bilevel one)
};

const TOrganiserCase kOrganiserCases[] = {
    {"rotate the bilevel page right",
     [](TOpenDocument& d, const QString&) { d.RotatePages({1}, TRotation::Right); },
     {{'A', 0, 0}, {'A', 1, 90}, {'A', 2, 0}},
     1},
    {"rotate two pages left, one named twice",
     [](TOpenDocument& d, const QString&) {
         d.RotatePages({2, 0, 2}, TRotation::Left);
     },
     {{'A', 0, 270}, {'A', 1, 0}, {'A', 2, 270}},
     1},
    {"turn the bilevel page half",
     [](TOpenDocument& d, const QString&) { d.RotatePages({1}, TRotation::Half); },
     {{'A', 0, 0}, {'A', 1, 180}, {'A', 2, 0}},
     1},
    {"move the last page first",
     [](TOpenDocument& d, const QString&) { EXPECT_EQ(d.MovePages({2}, 0), 0); },
     {{'A', 2, 0}, {'A', 0, 0}, {'A', 1, 0}},
     2},
    {"delete the shown page and the first",
     [](TOpenDocument& d, const QString&) {
         EXPECT_EQ(d.DeletePages({1, 0}), 2);
     },
     {{'A', 2, 0}},
     0},
    {"insert a file's pages before the shown page",
     [](TOpenDocument& d, const QString& b) { EXPECT_EQ(d.InsertFiles(1, {b}), 2); },
     {{'A', 0, 0}, {'B', 0, 0}, {'B', 1, 0}, {'A', 1, 0}, {'A', 2, 0}},
     3},
};

} // namespace

TEST_F(OpenDoc, OrganiserOperationsSaveThePagesInOrderTurnedAsImageMagickTurnsThem) {
    // A colour page, a 1-bit page and a gray page of different sizes.
    const QString colour = f.Convert(
        {"-size", "120x80", "gradient:red-blue", "-depth", "8", "-type", "TrueColor"}, "c.tif");
    const QString bilevel = f.Convert(
        {"-size", "200x100", "pattern:checkerboard", "-monochrome", "-depth", "1"}, "b1.tif");
    const QString gray = f.Convert({"-size", "60x40", "gradient:", "-depth", "8"}, "g.tif");
    const QString original = f.Path("original.tif");
    f.Tool("tiffcp", {colour, bilevel, gray, original});
    const QString b = f.Path("B.tif");
    MakePages(b, 2, 300, "green");
    auto reference = [&](char file, int frame, int degrees, bool grayPage) {
        const QString out = f.Path(QStringLiteral("rot_%1%2_%3.%4")
                                       .arg(file)
                                       .arg(frame)
                                       .arg(degrees)
                                       .arg(grayPage ? "pgm" : "ppm"));
        f.Tool(doctest::kConvert,
               {QStringLiteral("%1[%2]").arg(file == 'A' ? original : b).arg(frame), "-rotate",
                QString::number(degrees), "-alpha", "off", "-depth", "8", out});
        return QImage(out).convertToFormat(grayPage ? QImage::Format_Grayscale8
                                                    : QImage::Format_RGB888);
    };

    for (const TOrganiserCase& c : kOrganiserCases) {
        SCOPED_TRACE(c.what);
        QFile::remove(Doc());
        ASSERT_TRUE(QFile::copy(original, Doc()));
        ASSERT_TRUE(doc.Open("A"));
        doc.SetCurrentPage(1);

        // Undo brings the file's pages back.
        c.run(doc, b);
        EXPECT_TRUE(doc.Change().pages);
        doc.Reload();
        EXPECT_EQ(Widths(), std::vector<int>({120, 200, 60}));
        EXPECT_FALSE(doc.Change().pages);

        doc.SetCurrentPage(1);
        c.run(doc, b);
        EXPECT_EQ(doc.PageIndex(), c.current);
        ASSERT_EQ(doc.Save({}), TSaveOutcome::Encoded);
        ASSERT_EQ(doc.PageCount(), int(c.pages.size()));
        const QByteArray info = gdtest::Run("tiffinfo", {Doc()}).out;
        for (size_t i = 0; i < c.pages.size(); ++i) {
            const TExpectedPage& e = c.pages[i];
            const bool grayPage = e.file == 'A' && e.frame != 0;
            EXPECT_EQ(doctest::MaxDifference(f.Reference(Doc(), int(i), grayPage),
                                             reference(e.file, e.frame, e.degrees, grayPage)),
                      0)
                << "page " << i;
            // The 1-bit page stays 1-bit, written as G4.
            const qsizetype at = info.indexOf("=== TIFF directory " + QByteArray::number(i));
            const qsizetype end =
                info.indexOf("=== TIFF directory " + QByteArray::number(i + 1), at + 1);
            const QByteArray dir = info.mid(at, end < 0 ? -1 : end - at);
            if (e.file == 'A' && e.frame == 1) {
                EXPECT_TRUE(dir.contains("CCITT Group 4")) << dir.constData();
            }
        }
        doc.Close();
    }
}

TEST_F(OpenDoc, AnUnsavedEditJoinsTheListBeforeAnOrganiserOperation) {
    MakePages(Doc(), 3);
    ASSERT_TRUE(doc.Open("A"));
    // A page deleted in the editor goes first; the indexes are those shown.
    doc.SetCurrentPage(0);
    doc.DeleteCurrentPage();
    EXPECT_EQ(doc.MovePages({2}, 1), 0);
    EXPECT_EQ(Widths(), std::vector<int>({120, 110}));
    EXPECT_FALSE(doc.Change().picture);
    // An edited picture replaces its page and is turned with it.
    QImage edited(30, 20, QImage::Format_RGB32);
    edited.fill(Qt::blue);
    doc.SetPicture(edited);
    ASSERT_EQ(doc.PageIndex(), 1); // still on its page (110)
    doc.RotatePages({1}, TRotation::Right);
    EXPECT_EQ(Widths(), std::vector<int>({120, 20}));
    EXPECT_EQ(doc.Picture().size(), QSize(20, 30));
    EXPECT_THROW(doc.DeletePages({2}), Exception);
    EXPECT_THROW(doc.InsertFiles(3, {Doc()}), Exception);
    EXPECT_EQ(doc.PageCount(), 2);
}
