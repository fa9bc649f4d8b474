// The thumbnail loader on a 1,000-page document whose pages carry their own
// number in their pixels, so a thumbnail shows which page it was made from.

#include "DocTestSupport.h"
#include "document/Loading.h"
#include "document/Thumbnails.h"

#include <map>
#include <tiffio.h>

using namespace gd;

namespace {

constexpr int kPages = 1000, kWidth = 250, kHeight = 350, kBits = 10, kStripe = kWidth / kBits;

// Page i: 1-bit G4, ten vertical stripes, stripe b black when bit b of i is set.
void WriteNumberedDocument(const QString& path) {
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    ASSERT_NE(tif, nullptr);
    std::vector<uchar> row((kWidth + 7) / 8);
    for (int page = 0; page < kPages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < kWidth; ++x)
            if (page & (1 << (x / kStripe)))
                row[size_t(x / 8)] |= uchar(0x80 >> (x % 8));
        for (int y = 0; y < kHeight; ++y)
            ASSERT_EQ(TIFFWriteScanline(tif, row.data(), uint32_t(y), 0), 1);
        ASSERT_EQ(TIFFWriteDirectory(tif), 1);
    }
    TIFFClose(tif);
}

// The number a thumbnail shows; -1 for no thumbnail.
int NumberOf(const QImage& thumbnail) {
    if (thumbnail.isNull())
        return -1;
    const QImage gray = thumbnail.convertToFormat(QImage::Format_Grayscale8);
    int n = 0;
    for (int b = 0; b < kBits; ++b) {
        const int x = int((b + 0.5) * kStripe * gray.width() / kWidth);
        if (gray.constScanLine(gray.height() / 2)[x] < 128)
            n |= 1 << b;
    }
    return n;
}

class ThumbnailTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        files = new doctest::Files();
        WriteNumberedDocument(Path());
    }
    static void TearDownTestSuite() {
        delete files;
        files = nullptr;
    }
    static QString Path() { return files->Path(QStringLiteral("numbered.tif")); }

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

    static inline doctest::Files* files = nullptr;
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

} // namespace
