// The window showing documents for the server: pages, reload, and the held
// SHOW and EDIT requests, driven in-process on the offscreen platform.
#include "server/DocServer.h"
#include "server/ProtocolSupport.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace gd;
using gdtest::Request;

namespace {

// Three pages of different sizes, drawn by ImageMagick.
void MakeThreePageTiff(const QString& path) {
    const gdtest::RunResult r =
        gdtest::Run("convert-im6.q16", {"-size", "300x200", "xc:white", "-size", "200x300",
                                        "xc:gray", "-size", "100x100", "xc:red", path});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
}

class Display : public gdtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        MakeThreePageTiff(docs + "/A.tif");
    }
    void Open(bool clientBound = true) { OpenWindow(clientBound); }
    QStringList PageItems() {
        QStringList items;
        for (int i = 0; i < Win().cbxPage->count(); ++i)
            items << Win().cbxPage->itemText(i);
        return items;
    }
};

} // namespace

TEST_F(Display, ShowPageClampsAndFillsThePageList) {
    Open();
    Cycle({"SHOW=A"});
    ASSERT_EQ(Win().Doc.PageCount(), 3);
    EXPECT_EQ(Win().ImageBox->Picture().size(), QSize(300, 200));

    Win().Doc.SetCurrentPage(5);
    EXPECT_EQ(PageItems(), QStringList({"1", "2", "3"}));
    EXPECT_EQ(Win().cbxPage->currentIndex(), 2);
    EXPECT_EQ(Win().ImageBox->Picture().size(), QSize(100, 100));
    EXPECT_EQ(Win().ImageBox->Picture().pixelColor(50, 50), QColor(Qt::red));

    Win().Doc.SetCurrentPage(-1);
    EXPECT_EQ(PageItems().size(), 3);
    EXPECT_EQ(Win().cbxPage->currentIndex(), -1);
    EXPECT_EQ(Win().Doc.PageIndex(), -1);
    EXPECT_FALSE(Win().ImageBox->HasPicture());

    // Navigation and the page list go through the same road.
    Win().Doc.SetCurrentPage(0);
    Win().A.ActionPageNext->trigger();
    EXPECT_EQ(Win().Doc.PageIndex(), 1);
    EXPECT_EQ(Win().ImageBox->Picture().size(), QSize(200, 300));
    Win().A.ActionPagePrior->trigger();
    EXPECT_EQ(Win().Doc.PageIndex(), 0);
    Win().cbxPageCloseUp(2);
    EXPECT_EQ(Win().Doc.PageIndex(), 2);
}

TEST_F(Display, EmptyListAndEditsDroppedByPaging) {
    Open();
    Win().Doc.SetCurrentPage(0);
    EXPECT_EQ(Win().cbxPage->count(), 0);
    EXPECT_FALSE(Win().ImageBox->HasPicture());

    Cycle({"SHOW=A"});
    QImage white = Win().Doc.Picture();
    white.fill(Qt::white);
    Win().Doc.SetPicture(white);
    // Choosing the page already shown keeps the edit.
    Win().cbxPageCloseUp(0);
    EXPECT_TRUE(Win().Doc.Change().picture);
    Win().Doc.SetCurrentPage(1);
    EXPECT_FALSE(Win().Doc.Change().picture);
    EXPECT_FALSE(Win().Doc.Change().pages);
    Win().Doc.SetCurrentPage(0);
    EXPECT_EQ(Win().ImageBox->Picture().pixelColor(0, 0), QColor(Qt::white));
}

TEST_F(Display, ReloadAfterTheFileWasDeletedAndHide) {
    Open();
    Cycle({"EDIT=A"});
    ASSERT_EQ(Win().Doc.PageCount(), 3);
    QFile::remove(docs + "/A.tif");
    Win().Doc.Reload(); // what undo does
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_FALSE(Win().ImageBox->HasPicture());

    MakeThreePageTiff(docs + "/A.tif");
    Win().Doc.Reload();
    EXPECT_EQ(Win().Doc.PageCount(), 3);
    w->show();
    Win().Host.HideDocument();
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_EQ(Win().Doc.Source(), nullptr);
    EXPECT_EQ(Win().Doc.PageIndex(), -1);
    EXPECT_FALSE(Win().ImageBox->HasPicture());
    EXPECT_TRUE(w->isMinimized());
}

TEST_F(Display, FolderModeRefusesShowAndServesTest) {
    Open(false);
    const QString dde = docs + "/client.dde";
    gdtest::WriteFile(dde, "");
    Cycle({"SHOW=A", "PRINT=A", "TEST="}, dde);
    // PRINT is carried out in folder mode when a printer is installed.
    EXPECT_EQ(Marks(dde), Win().I.ItemPrinter->isEnabled() ? "#<<" : "##<");
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_TRUE(w->Server()->IsActive());
}

TEST_F(Display, ShowHoldsUntilTheSwitchIsTurnedOn) {
    Open();
    Cycle({"SHOW=A", "TEST="});
    EXPECT_EQ(Marks(), "*>");
    EXPECT_FALSE(w->Server()->IsActive());
    EXPECT_EQ(Win().StatusPanel1->text(), "Просмотр");
    EXPECT_EQ(Win().StaticText->text(), docs + "/A.tif");
    EXPECT_TRUE(errors.isEmpty());
    // Cycles do nothing while viewing.
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "*>");

    Win().A.ActionAutoCommand->trigger(); // the user switches the server on
    EXPECT_EQ(Marks(), "<>");
    EXPECT_EQ(Win().Doc.PageCount(), 0); // view emptied, name cleared
    EXPECT_FALSE(Win().ImageBox->HasPicture());
    EXPECT_EQ(Win().StaticText->text(), docs + "/");
    EXPECT_EQ(Win().StatusPanel1->text(), "Сервер активен");
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "<<");
}

TEST_F(Display, ShowWithoutNameAndOfAMissingFile) {
    Open();
    Cycle({"SHOW=A"});
    Win().A.ActionAutoCommand->trigger();
    Cycle({"SHOW="});
    EXPECT_EQ(Marks(), "<<");
    EXPECT_TRUE(w->Server()->IsActive());
    EXPECT_EQ(Win().Doc.PageCount(), 0);

    Cycle({"SHOW=Missing"});
    ASSERT_EQ(errors, QStringList({"Не могу открыть Файла риснука"}));
    EXPECT_EQ(Marks(), "<<*");
    EXPECT_EQ(Win().StatusPanel1->text(), "Просмотр");
    Win().A.ActionAutoCommand->trigger();
    EXPECT_EQ(Marks(), "<<#");
}

TEST_F(Display, EditOfAMissingFileStartsAnEmptyDocument) {
    Open();
    Cycle({"EDIT=New", "EDIT="});
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(Marks(), "*>");
    EXPECT_TRUE(w->Server()->EditMode());
    EXPECT_EQ(Win().StatusPanel1->text(), "Редактирование");
    EXPECT_EQ(Win().StaticText->text(), docs + "/New.tif");
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    Win().A.ActionAutoCommand->trigger();
    EXPECT_EQ(Marks(), "#>");
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "##"); // EDIT without a name is refused
}

TEST_F(Display, SwitchingOnWithNothingHeldEmptiesTheView) {
    Open();
    Cycle({"DELETE=Nothing"});
    Win().Host.ShowDocument("Nothing"); // a document on screen without a held request
    w->Server()->SetServerActive(false);
    EXPECT_EQ(Win().StatusPanel1->text(), "Просмотр"); // the name stays current
    w->Server()->SetServerActive(true);
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_EQ(Win().StaticText->text(), docs + "/");
}

TEST_F(Display, UnsafeNamesOpenNothing) {
    Open();
    gdtest::WriteFile(dir.filePath("x.tif"), gdtest::ReadFile(docs + "/A.tif"));
    Cycle({"SHOW=../x", "EDIT=..", "EDIT=a/b", "HIDE="});
    EXPECT_EQ(Marks(), "###<");
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(w->Server()->IsActive());
}

TEST_F(Display, ClosingTheWindowMarksAHeldRequestFailed) {
    Open();
    Cycle({"SHOW=A"});
    EXPECT_EQ(Marks(), "*");
    w->close();
    EXPECT_EQ(Marks(), "#");
}

TEST_F(Display, UnsavedChangesLockTheServerSwitch) {
    Open();
    Cycle({"EDIT=A"});
    Win().UpdateActions();
    EXPECT_TRUE(Win().A.ActionAutoCommand->isEnabled());
    Win().Doc.SetPicture(Win().Doc.Picture());
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionAutoCommand->isEnabled());
    Win().Doc.SetCurrentPage(0); // the edit dropped
    ASSERT_EQ(Win().Doc.InsertFramesFrom(docs + "/A.tif"), 3);
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionAutoCommand->isEnabled());
    EXPECT_TRUE(Win().A.ActionSave->isEnabled());
}
