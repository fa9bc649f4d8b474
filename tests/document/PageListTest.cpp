// The page list and loading: ownership, index rules, frame selection.

#include "DocTestSupport.h"
#include "common/Exception.h"
#include "document/Loading.h"

#include <QFile>

using namespace gd;
using doctest::Files;

namespace {

QString Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

// A TIFF of `n` pages whose page i is (10 + i) pixels wide, made by tools.
QString MakePages(const Files& f, const QString& name, int n) {
    QStringList parts;
    for (int i = 0; i < n; ++i) {
        const QString p = QStringLiteral("%1_%2.tif").arg(name).arg(i);
        f.Convert({QStringLiteral("-size"), QStringLiteral("%1x8").arg(10 + i),
                   QStringLiteral("xc:gray"), QStringLiteral("-compress"), QStringLiteral("LZW")},
                  p);
        parts << f.Path(p);
    }
    f.Tool(QStringLiteral("tiffcp"), parts + QStringList{f.Path(name)});
    return f.Path(name);
}

std::unique_ptr<TImagePage> OwnPage(int width) {
    return TImagePage::CreateFromBitmap(
        TGPBitmap::FromQImage(QImage(width, 5, QImage::Format_RGB888)));
}

class PageListTest : public ::testing::Test {
protected:
    Files f;
    TImagePages pages;
};

TEST_F(PageListTest, IndexClampingRules) {
    EXPECT_EQ(pages.Count(), 0);
    EXPECT_EQ(pages.GetPageIndex(), -1);
    pages.SetPageIndex(0);
    EXPECT_EQ(pages.FPageIndex, -1);
    for (int i = 0; i < 3; ++i)
        pages.Add(OwnPage(10 + i));
    pages.SetPageIndex(7);
    EXPECT_EQ(pages.FPageIndex, 2);
    pages.SetPageIndex(-5);
    EXPECT_EQ(pages.FPageIndex, -1);
    EXPECT_EQ(pages.GetPageIndex(), -1); // -1 stays on a non-empty list
    pages.SetPageIndex(1);
    EXPECT_EQ(pages.GetPageIndex(), 1);
}

TEST_F(PageListTest, IndexErrorsLeaveTheListUnchanged) {
    pages.Add(OwnPage(10));
    pages.Add(OwnPage(11));
    EXPECT_EQ(Message([&] { pages.Get(2); }), QStringLiteral("List index out of bounds (2)"));
    EXPECT_EQ(Message([&] { pages.Get(-1); }), QStringLiteral("List index out of bounds (-1)"));
    EXPECT_EQ(Message([&] { pages.Delete(5); }), QStringLiteral("List index out of bounds (5)"));
    EXPECT_EQ(Message([&] { pages.Put(2, OwnPage(3)); }),
              QStringLiteral("List index out of bounds (2)"));
    EXPECT_EQ(Message([&] { pages.Insert(3, OwnPage(3)); }),
              QStringLiteral("List index out of bounds (3)"));
    pages.Insert(2, OwnPage(12)); // Count itself is a valid insertion point
    ASSERT_EQ(pages.Count(), 3);
    EXPECT_EQ(pages.Get(2)->GetBitmap()->GetWidth(), 12);
    EXPECT_EQ(pages.Get(0)->FOwner, &pages);
}

TEST_F(PageListTest, LoadSourceMakesFramePagesAndBringsTheIndexIntoRange) {
    const QString doc = MakePages(f, QStringLiteral("five.tif"), 5);
    pages.FPageIndex = 9;
    pages.FSourceFileName = QStringLiteral("x");
    pages.FModified = true;
    pages.LoadSource(TGPBitmapExt::FromFile(doc));
    ASSERT_EQ(pages.Count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(pages.Get(i)->FFrameIndex, i);
        EXPECT_EQ(pages.Get(i)->FBitmap, nullptr);
    }
    EXPECT_FALSE(pages.FModified);
    EXPECT_TRUE(pages.FSourceFileName.isEmpty());
    EXPECT_EQ(pages.FPageIndex, 9);
    EXPECT_EQ(pages.GetPageIndex(), 4);
    EXPECT_EQ(pages.FPageIndex, 4);

    pages.LoadSource(nullptr);
    EXPECT_EQ(pages.Count(), 0);
    EXPECT_EQ(pages.FSource, nullptr);
    EXPECT_EQ(pages.GetPageIndex(), -1);
}

TEST_F(PageListTest, SetModifiedForgetsTheImportedFileEitherWay) {
    pages.FSourceFileName = QStringLiteral("/tmp/Scan.TIF");
    pages.SetModified(false);
    EXPECT_TRUE(pages.FSourceFileName.isEmpty());
    pages.FSourceFileName = QStringLiteral("/tmp/Scan.TIF");
    pages.SetModified(true);
    EXPECT_TRUE(pages.FModified);
    EXPECT_TRUE(pages.FSourceFileName.isEmpty());
}

TEST_F(PageListTest, FramePagesShareTheSourceAndSelectLazily) {
    OpenDocument(pages, MakePages(f, QStringLiteral("three.tif"), 3));
    ASSERT_EQ(pages.Count(), 3);
    TGPBitmapExt& src = *pages.FSource;
    EXPECT_EQ(src.DecodeCount(), 0); // opening decodes nothing

    TGPBitmap* b2 = pages.Get(2)->GetBitmap();
    EXPECT_EQ(b2, &src);
    EXPECT_EQ(b2->GetWidth(), 12);
    EXPECT_EQ(src.DecodeCount(), 0); // the header is enough for the size
    TGPBitmap* b0 = pages.Get(0)->GetBitmap();
    EXPECT_EQ(b0->ToQImage().width(), 10);
    EXPECT_EQ(src.FActiveFrame, 0);
    EXPECT_EQ(src.DecodeCount(), 1);

    const int selects = src.SelectCallCount();
    pages.Get(0)->GetBitmap();
    b0->ToQImage();
    EXPECT_EQ(src.SelectCallCount(), selects);
    EXPECT_EQ(src.DecodeCount(), 1);
}

TEST_F(PageListTest, SelectFrameMessagesAndTheFreshBitmapRule) {
    auto b = TGPBitmapExt::FromFile(MakePages(f, QStringLiteral("three.tif"), 3));
    EXPECT_EQ(Message([&] { SelectFrame(*b, 3); }),
              QStringLiteral("Страница 3 рисунка не существует"));
    EXPECT_EQ(Message([&] { SelectFrame(*b, -1); }),
              QStringLiteral("Страница -1 рисунка не существует"));
    EXPECT_EQ(b->FActiveFrame, 0);
    EXPECT_EQ(b->SelectCallCount(), 0);

    gdtest::WriteFile(f.Path("junk.bmp"), QByteArray(100, 'x'));
    auto empty = TGPBitmapExt::FromFile(f.Path("junk.bmp"));
    EXPECT_NO_THROW(SelectFrame(*empty, 0)); // equals the initial active frame
    EXPECT_EQ(empty->SelectCallCount(), 0);
    EXPECT_EQ(Message([&] { SelectFrame(*empty, 1); }),
              QStringLiteral("Страница 1 рисунка не существует"));
}

TEST_F(PageListTest, GetBitmapWithoutSourceIsNone) {
    pages.Add(TImagePage::CreateFromFrame(0));
    EXPECT_EQ(pages.Get(0)->GetBitmap(), nullptr);
}

TEST_F(PageListTest, FileBackedPagesDeleteTheirFile) {
    f.Convert({QStringLiteral("rose:")}, QStringLiteral("scan1.bmp"));
    f.Convert({QStringLiteral("rose:")}, QStringLiteral("scan2.bmp"));
    pages.Add(TImagePage::CreateFromFile(f.Path("scan1.bmp")));
    pages.Add(TImagePage::CreateFromFile(f.Path("scan2.bmp")));
    EXPECT_EQ(pages.Get(0)->GetBitmap()->GetWidth(), 70);

    // Put over a file-backed page releases its bitmap and deletes its file.
    pages.Put(0, OwnPage(20));
    EXPECT_FALSE(QFile::exists(f.Path("scan1.bmp")));
    // Storing the page that is already there does nothing.
    TImagePage* same = pages.Get(0);
    pages.Put(0, std::unique_ptr<TImagePage>(same));
    EXPECT_EQ(pages.Get(0), same);
    EXPECT_EQ(pages.Get(0)->GetBitmap()->GetWidth(), 20);

    EXPECT_TRUE(QFile::exists(f.Path("scan2.bmp")));
    pages.Clear();
    EXPECT_FALSE(QFile::exists(f.Path("scan2.bmp")));

    // An undecodable scan still owns its file.
    gdtest::WriteFile(f.Path("bad.bmp"), QByteArray(50, 'z'));
    {
        auto bad = TImagePage::CreateFromFile(f.Path("bad.bmp"));
        EXPECT_EQ(bad->FFileName, f.Path("bad.bmp"));
        EXPECT_EQ(GetFrameCount(*bad->GetBitmap()), 0);
    }
    EXPECT_FALSE(QFile::exists(f.Path("bad.bmp")));
}

TEST_F(PageListTest, CopyFramesInAfterTheCurrentPage) {
    OpenDocument(pages, MakePages(f, QStringLiteral("six.tif"), 6));
    const QString two = MakePages(f, QStringLiteral("two.tif"), 2); // widths 10, 11
    pages.SetPageIndex(4);
    EXPECT_EQ(CopyFramesIn(pages, two), 2);
    ASSERT_EQ(pages.Count(), 8);
    EXPECT_TRUE(pages.FModified);
    EXPECT_EQ(pages.GetPageIndex(), 4);
    EXPECT_EQ(pages.Get(5)->GetBitmap()->GetWidth(), 10);
    EXPECT_EQ(pages.Get(6)->GetBitmap()->GetWidth(), 11);
    EXPECT_EQ(pages.Get(5)->FFrameIndex, 0);
    EXPECT_EQ(pages.Get(7)->FFrameIndex, 5); // the old page 5
    EXPECT_EQ(pages.Get(7)->GetBitmap()->GetWidth(), 15);
    // The copies are independent of their file.
    QFile::remove(two);
    EXPECT_EQ(pages.Get(6)->GetBitmap()->ToQImage().width(), 11);

    TImagePages empty;
    EXPECT_EQ(CopyFramesIn(empty, MakePages(f, QStringLiteral("again.tif"), 2)), 2);
    EXPECT_EQ(empty.Get(0)->GetBitmap()->GetWidth(), 10);
    EXPECT_EQ(empty.Get(1)->GetBitmap()->GetWidth(), 11);
}

TEST_F(PageListTest, FailedFrameCopyIsAPageShowingNothing) {
    OpenDocument(pages, MakePages(f, QStringLiteral("doc.tif"), 2));
    // A frame that cannot be decoded: it claims 60000 x 60000 pixels.
    f.Convert({QStringLiteral("-size"), QStringLiteral("8x8"), QStringLiteral("xc:white"),
               QStringLiteral("-compress"), QStringLiteral("None")},
              QStringLiteral("huge.tif"));
    f.Tool(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("256"),
                                       QStringLiteral("60000"), f.Path("huge.tif")});
    f.Tool(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("257"),
                                       QStringLiteral("60000"), f.Path("huge.tif")});
    pages.SetPageIndex(0);
    EXPECT_EQ(CopyFramesIn(pages, f.Path("huge.tif")), 1);
    ASSERT_EQ(pages.Count(), 3);
    EXPECT_EQ(pages.Get(1)->GetBitmap(), nullptr); // not frame 0 of the document
    EXPECT_EQ(pages.FSource->FActiveFrame, 0);
}

TEST_F(PageListTest, UndecodableDocumentHasASourceAndNoPages) {
    gdtest::WriteFile(f.Path("bad.tif"), QByteArray("II*\0garbage", 11));
    OpenDocument(pages, f.Path("bad.tif"));
    EXPECT_NE(pages.FSource, nullptr);
    EXPECT_EQ(pages.Count(), 0);
    EXPECT_FALSE(pages.FModified);
}

TEST_F(PageListTest, PagePropertiesAndEditedPicture) {
    f.Convert({QStringLiteral("-size"), QStringLiteral("40x30"), QStringLiteral("xc:white"),
               QStringLiteral("-monochrome"), QStringLiteral("-units"),
               QStringLiteral("PixelsPerInch"), QStringLiteral("-density"), QStringLiteral("300"),
               QStringLiteral("-compress"), QStringLiteral("Group4")},
              QStringLiteral("mono.tif"));
    OpenDocument(pages, f.Path("mono.tif"));
    const TPageProperties p = GetPageProperties(*pages.Get(0));
    EXPECT_EQ(p.PixelFormat, PixelFormat1bppIndexed);
    EXPECT_EQ(BitsPerPixel(p.PixelFormat), 1);
    EXPECT_EQ(int(p.HorizontalResolution), 300);
    EXPECT_EQ(p.Flags & ImageFlagsColorSpaceGRAY, ImageFlagsColorSpaceGRAY);

    QImage picture(33, 22, QImage::Format_RGB32);
    picture.fill(Qt::red);
    auto page = PageFromImage(picture);
    picture.fill(Qt::blue); // the page keeps its own copy
    EXPECT_EQ(page->GetBitmap()->ToQImage().pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(GetPageProperties(*page).PixelFormat, PixelFormat32bppRGB);
    EXPECT_DOUBLE_EQ(GetPageProperties(*page).HorizontalResolution, 96);

    auto blank = TGPBitmap::CreateBlank();
    EXPECT_EQ(blank->GetWidth(), 1);
    EXPECT_EQ(blank->GetPixelFormat(), PixelFormat1bppIndexed);
}

} // namespace
