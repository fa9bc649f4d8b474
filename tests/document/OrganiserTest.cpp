// The organiser's page operations: exact rotation (against ImageMagick's own
// rotation of the same file) and reordering / deleting / inserting a set of
// pages.

#include "DocTestSupport.h"
#include "common/Exception.h"
#include "document/Loading.h"
#include "document/PageRotate.h"
#include "document/Saving.h"

using namespace gd;
using doctest::Files;

namespace {

// Every sample at 16 bits per channel, unpremultiplied, after `want` took
// `got`'s format: exact for every format the document library holds pages in.
bool SamePixels(const QImage& got, const QImage& want) {
    return got.size() == want.size() &&
           got.convertToFormat(QImage::Format_RGBA64) ==
               want.convertToFormat(got.format()).convertToFormat(QImage::Format_RGBA64);
}

QImage Decode(const QString& file) {
    auto bitmap = TGPBitmap::FromFile(file);
    return bitmap->ToQImage();
}

struct RotateCase {
    const char* name;
    QStringList make;                      // ImageMagick arguments after the noise
    QStringList keep;                      // so that ImageMagick writes the turn in kind
    QImage::Format decoded;                // what our decoder gives for the file
    std::vector<QImage::Format> converted; // other formats the library holds pages in
};

const RotateCase kRotateCases[] = {
    {"bilevel_g4",
     {"-threshold", "50%", "-monochrome", "-compress", "Group4"},
     {},
     QImage::Format_Mono,
     {QImage::Format_MonoLSB}},
    {"gray8", {"-colorspace", "Gray", "-depth", "8"}, {}, QImage::Format_Grayscale8, {}},
    {"gray16", {"-colorspace", "Gray", "-depth", "16"}, {}, QImage::Format_Grayscale16, {}},
    {"palette",
     {"-colors", "16", "-type", "Palette"},
     {"-type", "Palette"},
     QImage::Format_Indexed8,
     {}},
    {"rgb",
     {"-type", "TrueColor", "-depth", "8"},
     {"-type", "TrueColor"},
     QImage::Format_RGB888,
     {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGBX8888,
      QImage::Format_RGBX64}},
    {"rgba",
     {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel", "-type",
      "TrueColorAlpha", "-depth", "8"},
     {"-type", "TrueColorAlpha"},
     QImage::Format_RGBA8888,
     {QImage::Format_ARGB32, QImage::Format_RGBA64}},
};

class RotateTest : public ::testing::TestWithParam<RotateCase> {
protected:
    Files f;
};

TEST_P(RotateTest, EqualsImageMagicksRotationInEveryFormat) {
    const RotateCase& c = GetParam();
    // Sides not a multiple of 8 and resolutions that differ, so partial bit
    // blocks and the resolution swap both show.
    const QString in =
        f.Convert(QStringList{"-size", "61x45", "xc:gray50", "+noise", "Random"} + c.make +
                      QStringList{"-units", "PixelsPerInch", "-density", "300x150"},
                  QStringLiteral("in.tif"));
    const QImage image = Decode(in);
    ASSERT_EQ(image.format(), c.decoded);
    const struct {
        TRotation turn;
        const char* degrees;
    } turns[] = {{TRotation::Right, "90"}, {TRotation::Left, "-90"}, {TRotation::Half, "180"}};
    for (const auto& t : turns) {
        SCOPED_TRACE(t.degrees);
        const QString out =
            f.Convert(QStringList{in, "-rotate", t.degrees} + c.keep, QStringLiteral("out.tif"));
        const QImage want = Decode(out);
        std::vector<QImage::Format> formats{c.decoded};
        formats.insert(formats.end(), c.converted.begin(), c.converted.end());
        for (QImage::Format format : formats) {
            SCOPED_TRACE(int(format));
            const QImage source = image.convertToFormat(format);
            const QImage got = RotateImage(source, t.turn);
            EXPECT_EQ(got.format(), format);
            EXPECT_EQ(got.colorTable(), source.colorTable());
            EXPECT_TRUE(SamePixels(got, want));
            const bool quarter = t.turn != TRotation::Half;
            EXPECT_EQ(got.dotsPerMeterX(),
                      quarter ? source.dotsPerMeterY() : source.dotsPerMeterX());
            EXPECT_EQ(got.dotsPerMeterY(),
                      quarter ? source.dotsPerMeterX() : source.dotsPerMeterY());
        }
    }
    QImage turned = image;
    for (int i = 0; i < 4; ++i)
        turned = RotateImage(turned, TRotation::Right);
    EXPECT_TRUE(SamePixels(turned, image));
    EXPECT_EQ(turned.dotsPerMeterX(), image.dotsPerMeterX());
}

INSTANTIATE_TEST_SUITE_P(Formats, RotateTest, ::testing::ValuesIn(kRotateCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RotatePagesTest, TurnedPagesAreOwnImagesAndBilevelIsSavedAsG4) {
    Files f;
    const QString page = f.Convert({"-size", "61x45", "xc:gray50", "+noise", "Random", "-threshold",
                                    "50%", "-monochrome", "-compress", "Group4"},
                                   QStringLiteral("p.tif"));
    f.Tool(QStringLiteral("tiffcp"), {page, page, f.Path(QStringLiteral("doc.tif"))});
    TImagePages pages;
    OpenDocument(pages, f.Path(QStringLiteral("doc.tif")));
    pages.Add(TImagePage::CreateFromBitmap(nullptr)); // a page without image stays as it is
    pages.FSourceFileName = QStringLiteral("imported.tif");
    EXPECT_THROW(RotatePages(pages, {0, 3}, TRotation::Left), Exception);
    EXPECT_FALSE(pages.FModified);

    RotatePages(pages, {1, 2, 1}, TRotation::Left);
    EXPECT_TRUE(pages.FModified);
    EXPECT_TRUE(pages.FSourceFileName.isEmpty()); // never saved as the unturned import
    EXPECT_EQ(pages.Get(0)->GetBitmap(), pages.FSource.get());
    EXPECT_EQ(pages.Get(2)->GetBitmap(), nullptr);
    TGPBitmap* turned = pages.Get(1)->GetBitmap();
    ASSERT_NE(turned, pages.FSource.get());
    EXPECT_EQ(turned->GetPixelFormat(), PixelFormat1bppIndexed);
    EXPECT_EQ(turned->GetWidth(), 45);

    pages.Delete(2); // what the writer does with a page without image is not ours to test
    const QString saved = f.Path(QStringLiteral("saved.tif"));
    ASSERT_EQ(WriteTiffPages(pages, saved, 1), 2);
    const gdtest::RunResult info = gdtest::Run(QStringLiteral("tiffinfo"), {saved}, 30000);
    EXPECT_EQ(info.out.count("CCITT Group 4"), 2) << info.out.constData();
    auto back = TGPBitmap::FromFile(saved);
    back->SelectActiveFrame(1);
    EXPECT_TRUE(SamePixels(
        back->ToQImage(), Decode(f.Convert({page, "-rotate", "-90"}, QStringLiteral("want.tif")))));
}

// ---- Reorder, delete, insert ------------------------------------------------------

// Pages a, b, c... told apart by their width.
std::unique_ptr<TImagePage> Letter(char c) {
    return TImagePage::CreateFromBitmap(
        TGPBitmap::FromQImage(QImage(int(c - 'a') + 1, 1, QImage::Format_Grayscale8)));
}

void Fill(TImagePages& pages, const std::string& letters) {
    for (char c : letters)
        pages.Add(Letter(c));
}

std::string Order(TImagePages& pages) {
    std::string s;
    for (int i = 0; i < pages.Count(); ++i)
        s += char('a' + pages.Get(i)->GetBitmap()->GetWidth() - 1);
    return s;
}

struct MoveCase {
    std::vector<int> indexes;
    int position;
    const char* order;
    int first; // where the moved pages begin
    int shown; // the page index after, the shown page being 'c' (index 2)
    bool modified;
};

const MoveCase kMoveCases[] = {
    {{0}, 6, "bcdefa", 5, 1, true},        // first to the end
    {{5}, 0, "fabcde", 0, 3, true},        // last to the front
    {{4, 1}, 0, "beacdf", 0, 3, true},     // order among the moved is the list's
    {{1, 4}, 3, "acbedf", 2, 1, true},     // from both sides into one gap
    {{1, 2, 3}, 2, "abcdef", 1, 2, false}, // a run into its own gap changes nothing
    {{1, 2, 3}, 4, "abcdef", 1, 2, false},
    {{2, 2, 2}, 3, "abcdef", 2, 2, false}, // repeats count once
    {{0, 5}, 3, "bcafde", 2, 1, true},
    {{}, 4, "abcdef", 4, 2, false},
};

class MovePagesTest : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MovePagesTest, GivesTheOrder) {
    const MoveCase& c = GetParam();
    TImagePages pages;
    Fill(pages, "abcdef");
    pages.SetPageIndex(2);
    EXPECT_EQ(pages.MovePages(c.indexes, c.position), c.first);
    EXPECT_EQ(Order(pages), c.order);
    EXPECT_EQ(pages.FPageIndex, c.shown);
    EXPECT_EQ(pages.FModified, c.modified);
    for (int i = 0; i < pages.Count(); ++i)
        EXPECT_EQ(pages.Get(i)->FOwner, &pages);
}

INSTANTIATE_TEST_SUITE_P(Cases, MovePagesTest, ::testing::ValuesIn(kMoveCases));

struct DeleteCase {
    std::vector<int> indexes;
    int shownBefore;
    const char* order;
    int shownAfter;
};

const DeleteCase kDeleteCases[] = {
    {{0, 2, 4}, 3, "bdf", 1},        // shown page stays, moves down
    {{2, 3}, 2, "abef", 2},          // shown goes: the next page that stays
    {{4, 5}, 5, "abcd", 3},          // shown goes with everything after it: the last
    {{5, 0, 0, 1}, 1, "cde", 0},     // any order, repeats once
    {{0, 1, 2, 3, 4, 5}, 2, "", -1}, // all
};

class DeletePagesTest : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(DeletePagesTest, GivesTheOrder) {
    const DeleteCase& c = GetParam();
    TImagePages pages;
    Fill(pages, "abcdef");
    pages.SetPageIndex(c.shownBefore);
    EXPECT_EQ(pages.DeletePages(c.indexes), 6 - int(strlen(c.order)));
    EXPECT_EQ(Order(pages), c.order);
    EXPECT_EQ(pages.FPageIndex, c.shownAfter);
    EXPECT_TRUE(pages.FModified);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeletePagesTest, ::testing::ValuesIn(kDeleteCases));

TEST(PageSetTest, InsertAndIndexErrorsLeaveTheListUnchanged) {
    TImagePages pages;
    Fill(pages, "abc");
    pages.SetPageIndex(1);
    std::vector<std::unique_ptr<TImagePage>> batch;
    batch.push_back(Letter('x'));
    batch.push_back(Letter('y'));
    pages.InsertPages(1, std::move(batch));
    EXPECT_EQ(Order(pages), "axybc");
    EXPECT_EQ(pages.FPageIndex, 3); // still on b
    EXPECT_EQ(pages.Get(2)->FOwner, &pages);
    pages.FModified = false;

    EXPECT_THROW(pages.MovePages({0, 5}, 1), Exception);
    EXPECT_THROW(pages.MovePages({0}, 6), Exception);
    EXPECT_THROW(pages.DeletePages({1, -1}), Exception);
    std::vector<std::unique_ptr<TImagePage>> more;
    more.push_back(Letter('z'));
    EXPECT_THROW(pages.InsertPages(6, std::move(more)), Exception);
    EXPECT_EQ(Order(pages), "axybc");
    EXPECT_FALSE(pages.FModified);
    pages.InsertPages(5, {});
    EXPECT_FALSE(pages.FModified);
}

TEST(PageSetTest, DeletedPagesDeleteTheirFiles) {
    Files f;
    TImagePages pages;
    const QString scan = f.Convert({"-size", "3x3", "xc:white"}, QStringLiteral("scan.bmp"));
    pages.Add(TImagePage::CreateFromFile(scan));
    Fill(pages, "b");
    pages.DeletePages({0});
    EXPECT_FALSE(QFile::exists(scan));
    EXPECT_EQ(Order(pages), "b");
}

} // namespace
