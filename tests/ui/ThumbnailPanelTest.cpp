// The thumbnail panel on a 1,000-page document whose pages show their own
// number, so the painted panel tells which page each thumbnail came from.

#include "ui/ThumbnailPanel.h"
#include "document/DocTestSupport.h"
#include "document/Loading.h"

#include <QListView>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <set>

using namespace gd;

namespace {

constexpr int kPages = doctest::kNumberedPages;

class ThumbnailPanelTest : public doctest::NumberedDocumentTest {
protected:
    void SetUp() override {
        OpenDocument(pages, Path());
        ASSERT_EQ(pages.Count(), kPages);
        panel.resize(220, 1000);
        panel.SetDocument(kPages, [this](int page) { return ThumbSourceOf(pages, page); });
        QObject::connect(&panel.Loader(), &TThumbnailLoader::ThumbnailReady,
                         [this](int page, const QImage&) {
                             delivered.insert(page);
                             maxBytes = std::max(maxBytes, panel.Loader().CacheBytes());
                         });
        panel.show();
    }

    QWidget* Viewport() { return panel.View()->viewport(); }
    // The pages whose thumbnails lie wholly in the viewport.
    std::vector<int> Shown() {
        std::vector<int> shown;
        for (int p = 0; p < kPages; ++p)
            if (Viewport()->rect().contains(panel.ThumbnailRect(p)))
                shown.push_back(p);
        return shown;
    }
    // The number each shown thumbnail is painted with, once all are painted.
    bool WaitPainted(const std::vector<int>& shown) {
        return gdtest::WaitFor(
            [&] {
                const QImage screen = Viewport()->grab().toImage();
                for (int p : shown)
                    if (doctest::NumberOf(screen.copy(panel.ThumbnailRect(p))) != p)
                        return false;
                return true;
            },
            30000);
    }
    void Click(int page, Qt::KeyboardModifiers modifiers = {}) {
        QTest::mouseClick(Viewport(), Qt::LeftButton, modifiers,
                          panel.ThumbnailRect(page).center());
    }
    // Drops `mime` on the lower or upper half of page `page`'s row.
    void Drop(QMimeData* mime, int page, bool lower) {
        const QRect row = panel.View()->visualRect(panel.View()->model()->index(page, 0));
        const QPoint at(row.center().x(), lower ? row.bottom() - 2 : row.top() + 2);
        const Qt::DropActions actions = Qt::MoveAction | Qt::CopyAction;
        QDragEnterEvent enter(at, actions, mime, Qt::LeftButton, {});
        QApplication::sendEvent(Viewport(), &enter);
        QDragMoveEvent move(at, actions, mime, Qt::LeftButton, {});
        QApplication::sendEvent(Viewport(), &move);
        QDropEvent drop(at, actions, mime, Qt::LeftButton, {});
        QApplication::sendEvent(Viewport(), &drop);
    }

    TImagePages pages;
    TThumbnailPanel panel;
    std::set<int> delivered;
    qint64 maxBytes = 0;
};

TEST_F(ThumbnailPanelTest, PaintsWhatShowsAndDecodesOnlyThat) {
    const std::vector<int> first = Shown();
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first.front(), 0);
    ASSERT_TRUE(WaitPainted(first));

    // Scrolled to the end in steps, without waiting: only pages whose row
    // was on screen at some step are decoded.
    std::set<int> seen;
    QScrollBar* bar = panel.View()->verticalScrollBar();
    for (int step = 0; step <= 20; ++step) {
        bar->setValue(bar->maximum() * step / 20);
        QCoreApplication::processEvents();
        for (int p = 0; p < kPages; ++p)
            if (Viewport()->rect().intersects(
                    panel.View()->visualRect(panel.View()->model()->index(p, 0))))
                seen.insert(p);
    }
    const std::vector<int> last = Shown();
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), kPages - 1);
    ASSERT_TRUE(WaitPainted(last));
    for (int p : delivered)
        EXPECT_TRUE(seen.count(p)) << p << " was never shown";
    EXPECT_LT(seen.size(), size_t(kPages / 5));
    EXPECT_LE(maxBytes, panel.Loader().CacheLimit());

    // The page shown follows navigation into view.
    panel.SetCurrentPage(500);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Viewport()->rect().contains(panel.ThumbnailRect(500)));
    ASSERT_TRUE(WaitPainted({500}));

    // A page edited shows its new content; moved pages theirs.
    auto other = TGPBitmap::FromFile(Path());
    other->SelectActiveFrame(777);
    pages.Put(500, PageFromImage(other->ToQImage()));
    panel.PageChanged(500);
    pages.MovePages({501}, 503); // 501 502 503 -> 502 501 503
    panel.PagesChanged(501, kPages);
    EXPECT_TRUE(gdtest::WaitFor(
        [&] {
            const QImage screen = Viewport()->grab().toImage();
            return doctest::NumberOf(screen.copy(panel.ThumbnailRect(500))) == 777 &&
                   doctest::NumberOf(screen.copy(panel.ThumbnailRect(501))) == 502 &&
                   doctest::NumberOf(screen.copy(panel.ThumbnailRect(502))) == 501;
        },
        30000));
}

TEST_F(ThumbnailPanelTest, CtrlAndShiftClicksSelect) {
    QSignalSpy clicked(&panel, &TThumbnailPanel::PageClicked);
    EXPECT_TRUE(panel.SelectedPages().empty()); // nothing shown yet
    panel.SetCurrentPage(1);
    EXPECT_EQ(clicked.count(), 0); // the window's own change is not echoed
    EXPECT_EQ(panel.SelectedPages(), std::vector<int>{1});

    Click(3, Qt::ControlModifier);
    EXPECT_EQ(panel.SelectedPages(), (std::vector<int>{1, 3}));
    ASSERT_EQ(clicked.count(), 1);
    EXPECT_EQ(clicked.last().at(0).toInt(), 3);
    panel.SetCurrentPage(3); // the window shows it: the selection stays
    EXPECT_EQ(panel.SelectedPages(), (std::vector<int>{1, 3}));

    Click(0, Qt::ShiftModifier); // from the page last clicked
    EXPECT_EQ(panel.SelectedPages(), (std::vector<int>{0, 1, 2, 3}));
    Click(1, Qt::ControlModifier); // out again
    EXPECT_EQ(panel.SelectedPages(), (std::vector<int>{0, 2, 3}));

    Click(2); // a plain click selects that page alone
    EXPECT_EQ(panel.SelectedPages(), std::vector<int>{2});
    panel.SelectPages({});
    EXPECT_EQ(panel.SelectedPages(), std::vector<int>{2}); // the current page
    panel.SelectPages({2, 3});
    panel.SetCurrentPage(5); // navigation elsewhere: that page alone
    EXPECT_EQ(panel.SelectedPages(), std::vector<int>{5});
}

TEST_F(ThumbnailPanelTest, DropsAskTheWindowOnlyInEditMode) {
    QSignalSpy moves(&panel, &TThumbnailPanel::MoveRequested);
    QSignalSpy filesDropped(&panel, &TThumbnailPanel::FilesDropped);
    const QAbstractItemModel* model = panel.View()->model();
    std::unique_ptr<QMimeData> dragged(model->mimeData({model->index(1, 0), model->index(2, 0)}));
    QMimeData uris;
    uris.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.tif")),
                  QUrl(QStringLiteral("https://example.org/c.tif"))});

    Drop(dragged.get(), 4, true); // view mode: nothing
    Drop(&uris, 0, false);
    EXPECT_EQ(moves.count() + filesDropped.count(), 0);

    panel.SetReorderEnabled(true);
    Drop(dragged.get(), 4, true);
    ASSERT_EQ(moves.count(), 1);
    EXPECT_EQ(moves.last().at(0).value<std::vector<int>>(), (std::vector<int>{1, 2}));
    EXPECT_EQ(moves.last().at(1).toInt(), 5);
    Drop(dragged.get(), 0, false);
    EXPECT_EQ(moves.last().at(1).toInt(), 0);
    Drop(dragged.get(), 2, true); // within the block dragged: no change
    Drop(dragged.get(), 3, false);
    EXPECT_EQ(moves.count(), 2);

    Drop(&uris, 0, false);
    ASSERT_EQ(filesDropped.count(), 1);
    EXPECT_EQ(filesDropped.last().at(0).toStringList(), QStringList{"/tmp/a b.tif"});
    EXPECT_EQ(filesDropped.last().at(1).toInt(), 0);

    // Pages dragged from another panel are no move within this document.
    TThumbnailPanel stranger;
    stranger.SetDocument(kPages, [this](int page) { return ThumbSourceOf(pages, page); });
    const QAbstractItemModel* theirs = stranger.View()->model();
    std::unique_ptr<QMimeData> foreign(theirs->mimeData({theirs->index(7, 0)}));
    Drop(foreign.get(), 4, true);
    EXPECT_EQ(moves.count(), 2);
}

} // namespace
