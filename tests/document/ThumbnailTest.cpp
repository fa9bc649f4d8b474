// The thumbnail loader on a 1,000-page document whose pages carry their own
// number in their pixels, so a thumbnail shows which page it was made from.

#include "DocTestSupport.h"
#include "document/Loading.h"
#include "document/Thumbnails.h"

#include <QFile>
#include <cstdio>
#include <map>

using namespace gd;

namespace {

constexpr int kPages = doctest::kNumberedPages;
using doctest::NumberOf;

class ThumbnailTest : public doctest::NumberedDocumentTest {
protected:
    // Every delivery, by page, checked against the cache's limit when it comes.
    void Watch(TThumbnailLoader& loader) {
        QObject::connect(&loader, &TThumbnailLoader::ThumbnailReady,
                         [this, &loader](int page, const QImage& thumbnail) {
                             got[page].push_back(NumberOf(thumbnail));
                             maxBytes = std::max(maxBytes, loader.CacheBytes());
                         });
    }
    bool WaitForPages(int first, int last) {
        return gdtest::WaitFor(
            [&] {
                for (int p = first; p <= last; ++p)
                    if (!got.count(p))
                        return false;
                return true;
            },
            60000);
    }

    std::map<int, std::vector<int>> got;
    qint64 maxBytes = 0;
};

TEST_F(ThumbnailTest, EveryRequestedPageArrivesOnceWithinTheCacheLimit) {
    TThumbnailLoader loader({QSize(100, 100), 200 * 1024, 0});
    Watch(loader);
    for (int p = 0; p < kPages; ++p)
        EXPECT_TRUE(loader.Request(p, {Path(), p, {}}).isNull());
    ASSERT_TRUE(WaitForPages(0, kPages - 1));
    for (int p = 0; p < kPages; ++p)
        EXPECT_EQ(got[p], std::vector<int>{p}) << p;
    EXPECT_LE(maxBytes, loader.CacheLimit());
    EXPECT_GT(maxBytes, loader.CacheLimit() / 2); // the limit, not something smaller, bounds it
    // The most recent thumbnails are kept, the oldest gone.
    EXPECT_EQ(NumberOf(loader.Request(kPages - 1, {Path(), kPages - 1, {}})), kPages - 1);
    EXPECT_TRUE(loader.Cached(0).isNull());
    EXPECT_EQ(NumberOf(loader.Cached(kPages - 2)), kPages - 2);
    EXPECT_LT(loader.CachedCount(), kPages / 10);
}

TEST_F(ThumbnailTest, AnEditedPageNeverShowsItsOldThumbnail) {
    TImagePages pages;
    OpenDocument(pages, Path());
    ASSERT_EQ(pages.Count(), kPages);
    TThumbnailLoader loader({QSize(100, 100), 32 * 1024 * 1024, 2});
    Watch(loader);
    for (int p = 0; p < 100; ++p)
        loader.Request(p, ThumbSourceOf(pages, p));
    // Edited while its thumbnail may be on its way: page 0 (likely being
    // decoded already) and page 5 (likely waiting) now show page 777's picture.
    auto other = TGPBitmap::FromFile(Path());
    other->SelectActiveFrame(777);
    for (int p : {0, 5}) {
        pages.Put(p, PageFromImage(other->ToQImage()));
        loader.Invalidate(p);
        loader.Request(p, ThumbSourceOf(pages, p));
    }
    pages.Put(6, TImagePage::CreateFromBitmap(nullptr)); // a page without image
    loader.Invalidate(6);
    loader.Request(6, ThumbSourceOf(pages, 6));
    ASSERT_TRUE(WaitForPages(0, 99));
    EXPECT_EQ(got[0], std::vector<int>{777});
    EXPECT_EQ(got[5], std::vector<int>{777});
    EXPECT_EQ(got[6], std::vector<int>{-1});
    EXPECT_EQ(got[99], std::vector<int>{99});

    // Edited after its thumbnail was cached: asked again, the new one comes.
    EXPECT_EQ(NumberOf(loader.Request(7, ThumbSourceOf(pages, 7))), 7);
    other->SelectActiveFrame(300);
    pages.Put(7, PageFromImage(other->ToQImage()));
    loader.Invalidate(7);
    EXPECT_TRUE(loader.Request(7, ThumbSourceOf(pages, 7)).isNull());
    ASSERT_TRUE(gdtest::WaitFor([&] { return got[7].size() == 2; }, 30000));
    EXPECT_EQ(got[7].back(), 300);

    // Pages moved from 50 on: those thumbnails go, those before stay.
    pages.MovePages({50}, 100);
    loader.InvalidateFrom(50);
    EXPECT_TRUE(loader.Cached(50).isNull());
    EXPECT_EQ(NumberOf(loader.Cached(49)), 49);
    loader.Request(50, ThumbSourceOf(pages, 50));
    ASSERT_TRUE(gdtest::WaitFor([&] { return got[50].size() == 2; }, 30000));
    EXPECT_EQ(got[50].back(), 51);
}

TEST_F(ThumbnailTest, PagesScrolledAwayAreNotDecoded) {
    TThumbnailLoader loader({QSize(100, 100), 32 * 1024 * 1024, 1});
    Watch(loader);
    for (int p = 0; p < kPages; ++p)
        loader.Request(p, {Path(), p, {}});
    loader.Retain(kPages - 10, kPages - 1);
    ASSERT_TRUE(WaitForPages(kPages - 10, kPages - 1));
    gdtest::WaitFor([] { return false; }, 200); // anything still on its way
    // The last ten, and at most the page the worker held when the rest went.
    EXPECT_LE(got.size(), size_t(10 + loader.ThreadCount()));
}

TEST_F(ThumbnailTest, AFileRenamedOverOrDeletedWhileShownStillGivesItsPages) {
    const QString shown = files->Path(QStringLiteral("shown.tif"));
    const QString other = files->Path(QStringLiteral("other.tif"));
    ASSERT_TRUE(QFile::copy(Path(), shown));
    doctest::WriteShortTiff(other, 30, 30);
    TImagePages pages;
    OpenDocument(pages, shown);
    ASSERT_EQ(pages.Count(), kPages);
    // A one-page file now bears the name (QFile::rename never replaces).
    ASSERT_EQ(std::rename(QFile::encodeName(other), QFile::encodeName(shown)), 0);
    TThumbnailLoader loader({QSize(100, 100), 32 * 1024 * 1024, 2});
    Watch(loader);
    for (int p : {0, 500})
        loader.Request(p, ThumbSourceOf(pages, p));
    ASSERT_TRUE(QFile::remove(shown)); // and then no file at all
    loader.Request(999, ThumbSourceOf(pages, 999));
    ASSERT_TRUE(gdtest::WaitFor([&] { return got.size() == 3; }, 30000));
    EXPECT_EQ(got[0], std::vector<int>{0});
    EXPECT_EQ(got[500], std::vector<int>{500});
    EXPECT_EQ(got[999], std::vector<int>{999});
}

} // namespace
