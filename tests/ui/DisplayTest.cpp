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
        for (int i = 0; i < w->cbxPage->count(); ++i)
            items << w->cbxPage->itemText(i);
        return items;
    }
};

} // namespace

TEST_F(Display, ShowPageClampsAndFillsThePageList) {
    Open();
    Cycle({"SHOW=A"});
    ASSERT_EQ(w->FPages.Count(), 3);
    EXPECT_EQ(w->ImageBox->Picture().size(), QSize(300, 200));

    w->View().ShowPage(5);
    EXPECT_EQ(PageItems(), QStringList({"1", "2", "3"}));
    EXPECT_EQ(w->cbxPage->currentIndex(), 2);
    EXPECT_EQ(w->ImageBox->Picture().size(), QSize(100, 100));
    EXPECT_EQ(w->ImageBox->Picture().pixelColor(50, 50), QColor(Qt::red));

    w->View().ShowPage(-1);
    EXPECT_EQ(PageItems().size(), 3);
    EXPECT_EQ(w->cbxPage->currentIndex(), -1);
    EXPECT_EQ(w->FPages.GetPageIndex(), -1);
    EXPECT_FALSE(w->ImageBox->HasPicture());

    // Navigation and the page list go through the same road.
    w->View().ShowPage(0);
    w->A.ActionPageNext->trigger();
    EXPECT_EQ(w->FPages.GetPageIndex(), 1);
    EXPECT_EQ(w->ImageBox->Picture().size(), QSize(200, 300));
    w->A.ActionPagePrior->trigger();
    EXPECT_EQ(w->FPages.GetPageIndex(), 0);
    w->cbxPageCloseUp(2);
    EXPECT_EQ(w->FPages.GetPageIndex(), 2);
}

TEST_F(Display, EmptyListAndEditsDroppedByPaging) {
    Open();
    w->View().ShowPage(0);
    EXPECT_EQ(w->cbxPage->count(), 0);
    EXPECT_FALSE(w->ImageBox->HasPicture());

    Cycle({"SHOW=A"});
    w->ImageBox->EditPicture().fill(Qt::white);
    w->View().ImageChanged = true;
    // Choosing the page already shown keeps the edit.
    w->cbxPageCloseUp(0);
    EXPECT_TRUE(w->View().ImageChanged);
    w->View().ShowPage(1);
    EXPECT_FALSE(w->View().ImageChanged);
    EXPECT_FALSE(w->FPages.FModified);
    w->View().ShowPage(0);
    EXPECT_EQ(w->ImageBox->Picture().pixelColor(0, 0), QColor(Qt::white));
}

TEST_F(Display, ReloadAfterTheFileWasDeletedAndHide) {
    Open();
    Cycle({"EDIT=A"});
    ASSERT_EQ(w->FPages.Count(), 3);
    QFile::remove(docs + "/A.tif");
    w->ReloadDocument(); // what undo does
    EXPECT_EQ(w->FPages.Count(), 0);
    EXPECT_FALSE(w->ImageBox->HasPicture());

    MakeThreePageTiff(docs + "/A.tif");
    w->ReloadDocument();
    EXPECT_EQ(w->FPages.Count(), 3);
    w->show();
    w->HideDocument();
    EXPECT_EQ(w->FPages.Count(), 0);
    EXPECT_EQ(w->FPages.FSource, nullptr);
    EXPECT_EQ(w->FPages.GetPageIndex(), -1);
    EXPECT_FALSE(w->ImageBox->HasPicture());
    EXPECT_TRUE(w->isMinimized());
}

TEST_F(Display, FolderModeRefusesShowAndServesTest) {
    Open(false);
    const QString dde = docs + "/client.dde";
    gdtest::WriteFile(dde, "");
    Cycle({"SHOW=A", "PRINT=A", "TEST="}, dde);
    // PRINT is carried out in folder mode when a printer is installed.
    EXPECT_EQ(Marks(dde), w->I.ItemPrinter->isEnabled() ? "#<<" : "##<");
    EXPECT_EQ(w->FPages.Count(), 0);
    EXPECT_TRUE(w->Server()->IsActive());
}

TEST_F(Display, ShowHoldsUntilTheSwitchIsTurnedOn) {
    Open();
    Cycle({"SHOW=A", "TEST="});
    EXPECT_EQ(Marks(), "*>");
    EXPECT_FALSE(w->Server()->IsActive());
    EXPECT_EQ(w->StatusPanel1->text(), "Просмотр");
    EXPECT_EQ(w->StaticText->text(), docs + "/A.tif");
    EXPECT_TRUE(errors.isEmpty());
    // Cycles do nothing while viewing.
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "*>");

    w->A.ActionAutoCommand->trigger(); // the user switches the server on
    EXPECT_EQ(Marks(), "<>");
    EXPECT_EQ(w->FPages.Count(), 0); // view emptied, name cleared
    EXPECT_FALSE(w->ImageBox->HasPicture());
    EXPECT_EQ(w->StaticText->text(), docs + "/");
    EXPECT_EQ(w->StatusPanel1->text(), "Сервер активен");
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "<<");
}

TEST_F(Display, ShowWithoutNameAndOfAMissingFile) {
    Open();
    Cycle({"SHOW=A"});
    w->A.ActionAutoCommand->trigger();
    Cycle({"SHOW="});
    EXPECT_EQ(Marks(), "<<");
    EXPECT_TRUE(w->Server()->IsActive());
    EXPECT_EQ(w->FPages.Count(), 0);

    Cycle({"SHOW=Missing"});
    ASSERT_EQ(errors, QStringList({"Не могу открыть Файла риснука"}));
    EXPECT_EQ(Marks(), "<<*");
    EXPECT_EQ(w->StatusPanel1->text(), "Просмотр");
    w->A.ActionAutoCommand->trigger();
    EXPECT_EQ(Marks(), "<<#");
}

TEST_F(Display, EditOfAMissingFileStartsAnEmptyDocument) {
    Open();
    Cycle({"EDIT=New", "EDIT="});
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(Marks(), "*>");
    EXPECT_TRUE(w->Server()->EditMode());
    EXPECT_EQ(w->StatusPanel1->text(), "Редактирование");
    EXPECT_EQ(w->StaticText->text(), docs + "/New.tif");
    EXPECT_EQ(w->FPages.Count(), 0);
    w->A.ActionAutoCommand->trigger();
    EXPECT_EQ(Marks(), "#>");
    w->Server()->ExecuteCommands();
    EXPECT_EQ(Marks(), "##"); // EDIT without a name is refused
}

TEST_F(Display, SwitchingOnWithNothingHeldEmptiesTheView) {
    Open();
    Cycle({"DELETE=Nothing"});
    w->ShowDocument(); // a document on screen without a held request
    w->Server()->SetServerActive(false);
    EXPECT_EQ(w->StatusPanel1->text(), "Просмотр"); // the name stays current
    w->Server()->SetServerActive(true);
    EXPECT_EQ(w->FPages.Count(), 0);
    EXPECT_EQ(w->StaticText->text(), docs + "/");
}

TEST_F(Display, UnsafeNamesOpenNothing) {
    Open();
    gdtest::WriteFile(dir.filePath("x.tif"), gdtest::ReadFile(docs + "/A.tif"));
    Cycle({"SHOW=../x", "EDIT=..", "EDIT=a/b", "HIDE="});
    EXPECT_EQ(Marks(), "###<");
    EXPECT_EQ(w->FPages.Count(), 0);
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
    w->UpdateActions();
    EXPECT_TRUE(w->A.ActionAutoCommand->isEnabled());
    w->View().ImageChanged = true;
    w->UpdateActions();
    EXPECT_FALSE(w->A.ActionAutoCommand->isEnabled());
    w->View().ImageChanged = false;
    w->FPages.SetModified(true);
    w->UpdateActions();
    EXPECT_FALSE(w->A.ActionAutoCommand->isEnabled());
    EXPECT_TRUE(w->A.ActionSave->isEnabled());
}
