// The page organiser in the window: the thumbnail panel beside the page,
// turning and moving pages, the page keys and the zoom panel, in view and in
// edit mode.
#include "document/DocTestSupport.h"
#include "document/Loading.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/PageArea.h"
#include "ui/ThumbnailPanel.h"

#include <QLabel>
#include <QListView>
#include <QTest>

using namespace gd;

namespace {

class Organising : public gdtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        doctest::MakePages(docs + "/A.tif", 3); // 100, 110 and 120 pixels wide
    }
    // Opens the window as the user left it: thumbnails shown or not.
    void Open(bool thumbnails) {
        gdtest::WriteFile(dir.filePath("gdserver.ini"),
                          thumbnails ? "[Layout]\nThumbnails=1\n" : "[Layout]\n");
        OpenWindow();
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }
    QSize Shown() { return Win().ImageBox->Picture().size(); }
    // The panel's thumbnail of the page once one that passes `when` has
    // arrived; null when none does.
    QImage Thumbnail(int page, const std::function<bool(const QImage&)>& when) {
        QImage t;
        const bool arrived = gdtest::WaitFor(
            [&] {
                t = Win().Thumbnails->Loader().Cached(page);
                return !t.isNull() && when(t);
            },
            10000);
        return arrived ? t : QImage();
    }
};

bool Landscape(const QImage& t) {
    return t.width() > t.height();
}

} // namespace

TEST_F(Organising, ShowWithThePanelThenAThumbnailClickAndThePageKeys) {
    Open(true);
    Cycle({"SHOW=A"});
    TThumbnailPanel* panel = Win().Thumbnails;
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(Win().A.ActionThumbnails->isChecked());
    ASSERT_EQ(panel->PageCount(), 3);
    for (int p = 0; p < 3; ++p)
        EXPECT_FALSE(Thumbnail(p, Landscape).isNull()) << p;
    EXPECT_EQ(panel->CurrentPage(), 0);

    QTest::mouseClick(panel->View()->viewport(), Qt::LeftButton, {},
                      panel->ThumbnailRect(2).center());
    EXPECT_EQ(Win().Doc.PageIndex(), 2);
    EXPECT_EQ(Shown().width(), 120);

    Win().PageArea->setFocus();
    QTest::keyClick(Win().PageArea, Qt::Key_Home);
    EXPECT_EQ(Shown().width(), 100);
    QTest::keyClick(Win().PageArea, Qt::Key_PageDown);
    EXPECT_EQ(Shown().width(), 110);
    EXPECT_EQ(panel->CurrentPage(), 1); // the highlight follows
    QTest::keyClick(Win().PageArea, Qt::Key_End);
    QTest::keyClick(Win().PageArea, Qt::Key_PageDown); // past the last: stays
    EXPECT_EQ(Shown().width(), 120);

    // View mode: navigation, thumbnails and zoom only.
    Win().UpdateActions();
    EXPECT_FALSE(panel->ReorderEnabled());
    for (QAction* a : {Win().A.ActionMoveUp, Win().A.ActionMoveDown, Win().A.ActionRotateLeft,
                       Win().A.ActionRotateRight, Win().A.ActionRotate180})
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_TRUE(Win().A.ActionZoomIn->isEnabled());

    Win().A.ActionThumbnails->trigger();
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(Organising, ZoomStepsShowInTheThirdPanelAndFitModesAreExclusive) {
    Open(false);
    Cycle({"SHOW=A"});
    EXPECT_FALSE(Win().Thumbnails->isVisible()); // hidden by default
    EXPECT_EQ(Win().StatusPanel3->text(), "100%");
    for (int i = 0; i < 3; ++i)
        QTest::keySequence(w.get(), QKeySequence("Ctrl+="));
    EXPECT_EQ(Win().StatusPanel3->text(), "200%");
    EXPECT_EQ(Shown().width(), 100);
    EXPECT_EQ(Win().ImageBox->width(), 200);
    QTest::keySequence(w.get(), QKeySequence("Ctrl+-"));
    EXPECT_EQ(Win().StatusPanel3->text(), "150%");

    Win().A.ActionFitWidth->trigger();
    EXPECT_TRUE(Win().A.ActionFitWidth->isChecked());
    Win().I.ItemFitInWindow->trigger();
    EXPECT_TRUE(Win().I.ItemFitInWindow->isChecked());
    EXPECT_FALSE(Win().A.ActionFitWidth->isChecked());
    QTest::keySequence(w.get(), QKeySequence("Ctrl+0"));
    EXPECT_FALSE(Win().I.ItemFitInWindow->isChecked());
    EXPECT_EQ(Win().StatusPanel3->text(), "100%");
}

TEST_F(Organising, CtrlRTurnsThePageAndItsThumbnailUndoTurnsItBack) {
    Open(true);
    EditDocument("A");
    Win().UpdateActions();
    EXPECT_TRUE(Win().Thumbnails->ReorderEnabled());
    ASSERT_FALSE(Thumbnail(0, Landscape).isNull());

    QTest::keySequence(w.get(), QKeySequence("Ctrl+R"));
    EXPECT_EQ(Shown(), QSize(50, 100));
    EXPECT_TRUE(Win().Doc.Change().pages);
    EXPECT_FALSE(Thumbnail(0, [](const QImage& t) { return !Landscape(t); }).isNull());
    EXPECT_EQ(Win().Doc.Pages().Get(1)->GetBitmap()->GetWidth(), 110); // only the selection

    ASSERT_TRUE(Run(Win().A.ActionUndo));
    EXPECT_EQ(Shown(), QSize(100, 50));
    EXPECT_FALSE(Win().Doc.Change().pages);
    EXPECT_FALSE(Thumbnail(0, Landscape).isNull());
}

TEST_F(Organising, MovesFromThePanelAndTheKeyboardAreTheSavedOrder) {
    Open(true);
    EditDocument("A");
    emit Win().Thumbnails->MoveRequested({2}, 0); // the third page dragged to the top
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), std::vector<int>({120, 100, 110}));
    EXPECT_EQ(Win().Thumbnails->SelectedPages(), std::vector<int>({0}));
    EXPECT_EQ(Shown().width(), 100); // the page shown stays shown

    Win().Thumbnails->SelectPages({0, 1});
    ASSERT_TRUE(Run(Win().A.ActionMoveDown));
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), std::vector<int>({110, 120, 100}));
    EXPECT_FALSE(Win().A.ActionMoveDown->isEnabled()); // one block at the bottom
    ASSERT_TRUE(Run(Win().A.ActionSave));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    TImagePages saved;
    OpenDocument(saved, docs + "/A.tif");
    EXPECT_EQ(doctest::PageWidths(saved), std::vector<int>({110, 120, 100}));
}

TEST_F(Organising, DeleteActsOnASelectionOfSeveralPages) {
    Open(true);
    EditDocument("A");
    Win().Thumbnails->SelectPages({0, 2});
    ASSERT_TRUE(Run(Win().A.ActionPageDel));
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), std::vector<int>({110}));
    EXPECT_EQ(Shown().width(), 110);
    // One page selected: the shown picture goes, as always, until the save.
    ASSERT_TRUE(Run(Win().A.ActionPageDel));
    EXPECT_EQ(Win().Doc.PageCount(), 1);
    EXPECT_FALSE(Win().ImageBox->HasPicture());
}

TEST_F(Organising, FilesDroppedOnThePanelAreInsertedWhereTheyFall) {
    Open(true);
    EditDocument("A");
    const QString dropped = dir.filePath("B.tif"), text = dir.filePath("note.tif");
    doctest::MakePages(dropped, 2, 200);
    gdtest::WriteFile(text, "not a picture");
    emit Win().Thumbnails->FilesDropped({dropped}, 1);
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), std::vector<int>({100, 200, 210, 110, 120}));
    EXPECT_EQ(Win().Thumbnails->PageCount(), 5);
    EXPECT_FALSE(Thumbnail(2, [](const QImage&) { return true; }).isNull());
    // A file that is no picture: said so, and the pages stay as they were.
    emit Win().Thumbnails->FilesDropped({text}, 0);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("note.tif")) << errors[0].toStdString();
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), std::vector<int>({100, 200, 210, 110, 120}));
}

namespace {

// A command on the first and last of three pages selected while the second
// is shown: the pages' widths after it, with the panel shown and hidden (the
// selection then does not count), and the width of the picture shown (0:
// none).
struct TSelectionCase {
    const char* name;
    QAction* TMainActions::*action;
    std::vector<int> withPanel, withoutPanel;
    int shownWithout;
};

void PrintTo(const TSelectionCase& c, std::ostream* os) {
    *os << c.name;
}

class SelectionCommands : public Organising,
                          public ::testing::WithParamInterface<std::tuple<TSelectionCase, bool>> {};

} // namespace

TEST_P(SelectionCommands, ActOnTheSelectionOnlyWhileThePanelIsShown) {
    const auto& [c, panel] = GetParam();
    Open(panel);
    EditDocument("A");
    Win().Doc.SetCurrentPage(1);
    Win().Thumbnails->SelectPages({0, 2});
    ASSERT_TRUE(Run(Win().A.*c.action));
    EXPECT_EQ(doctest::PageWidths(Win().Doc.Pages()), panel ? c.withPanel : c.withoutPanel);
    EXPECT_EQ(Win().ImageBox->HasPicture() ? Shown().width() : 0, panel ? 110 : c.shownWithout);
}

INSTANTIATE_TEST_SUITE_P(
    Organising, SelectionCommands,
    ::testing::Combine(
        ::testing::Values(
            TSelectionCase{"Delete", &TMainActions::ActionPageDel, {110}, {100, 110, 120}, 0},
            TSelectionCase{
                "TurnRight", &TMainActions::ActionRotateRight, {50, 110, 50}, {100, 50, 120}, 50},
            TSelectionCase{
                "MoveUp", &TMainActions::ActionMoveUp, {100, 120, 110}, {110, 100, 120}, 110},
            TSelectionCase{
                "MoveDown", &TMainActions::ActionMoveDown, {110, 100, 120}, {100, 120, 110}, 110}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "WithPanel" : "WithoutPanel");
    });
