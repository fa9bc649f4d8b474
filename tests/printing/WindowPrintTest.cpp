// The window's printing: "Печатать..." on a shown document and
// "Выбрать принтер...", with the dialogs answered through their seams.
#include "CupsSupport.h"
#include "document/GdipExt.h"
#include "printing/Printing.h"
#include "server/DocServer.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class WindowPrint : public gdtest::WindowTest {
protected:
    void SetUp() override {
        const QString error = gdtest::SetUpCupsPdf();
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        WindowTest::SetUp();
        ASSERT_TRUE(gdtest::MakeG4Tiff(docs + QStringLiteral("/W.tif"),
                                       {{800, 1100}, {400, 550}, {1100, 800}}));
        OpenWindow();
        baseline = gdtest::LastCupsJobId();
    }
    void Show(const QByteArray& name) {
        gdtest::WriteFile(ctl, '>' + QByteArray(34, 'w') + "SHOW=" + name + "\r\n");
        w->Server()->SetServerActive(true);
        w->Server()->ExecuteCommands();
        Win().UpdateActions();
    }

    gdtest::TCupsLock cups;
    int baseline = 0;
};

} // namespace

TEST_F(WindowPrint, PrintActionPrintsTheShownDocumentWithTheDialogsCopies) {
    EXPECT_TRUE(Win().I.ItemPrinter->isEnabled());
    Show("W");
    ASSERT_NE(Win().Doc.Source(), nullptr);
    ASSERT_TRUE(Win().A.ActionPrint->isEnabled());
    Win().Doc.SetCurrentPage(1);
    const int frame = Win().Doc.Source()->FActiveFrame;
    Win().Printing().PrintDialog = [](QWidget*, const QString&) {
        return std::optional<gd::TPrintChoice>(gd::TPrintChoice{QStringLiteral("PDF"), 2});
    };
    Win().A.ActionPrint->trigger();
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(Win().Doc.Source()->FActiveFrame, frame);
    const auto job = gdtest::WaitForJob(baseline, QStringLiteral("Kvelmar - W"), 2);
    ASSERT_TRUE(job);
    EXPECT_EQ(gdtest::PdfPageCount(gdtest::CupsPdfOutput(job->id)), 3);
    QFile::remove(gdtest::CupsPdfOutput(job->id));
}

TEST_F(WindowPrint, PrintActionIsDisabledWhileTheServerServesOrNothingIsShown) {
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionPrint->isEnabled()); // nothing shown
    Show("W");
    EXPECT_TRUE(Win().A.ActionPrint->isEnabled());
    Win().A.ActionAutoCommand->setChecked(true);
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionPrint->isEnabled());
}

TEST_F(WindowPrint, ChoosePrinterMakesTheChoiceCurrent) {
    Win().Printing().SetupDialog = [](QWidget*, const QString& current) {
        EXPECT_EQ(current, QStringLiteral("PDF")); // the system default
        return std::optional<QString>(QStringLiteral("PDF"));
    };
    Win().I.ItemPrinter->trigger();
    EXPECT_EQ(Win().Printing().Printer().Chosen(), QStringLiteral("PDF"));
}
