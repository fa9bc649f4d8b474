// The open document without a window: its name and file, the pages shown,
// edits of the picture, pages from files, import, undo and save.
#include "document/OpenDocument.h"
#include "document/DocTestSupport.h"

#include <QDir>
#include <QFile>
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
    std::vector<int> Widths() const {
        std::vector<int> widths;
        for (int i = 0; i < doc.PageCount(); ++i)
            widths.push_back(doc.Pages().Get(i)->GetBitmap()->GetWidth());
        return widths;
    }
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
