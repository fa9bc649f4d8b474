#include "CupsSupport.h"
#include "common/Exception.h"
#include "document/DocTestSupport.h"
#include "printing/BitmapPrintImage.h"
#include "printing/Printer.h"
#include "printing/PrinterSetupDialog.h"
#include "printing/Printing.h"
#include "server/PrintCommand.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

// End to end through the real CUPS scheduler and the cups-pdf queue "PDF".
// These fail, not skip, when no printer can be set up.

namespace {

class CupsPrint : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FSetupError = new QString(gdtest::SetUpCupsPdf()); }
    static void TearDownTestSuite() {
        delete FSetupError;
        FSetupError = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(FSetupError->isEmpty()) << FSetupError->toStdString();
        ASSERT_TRUE(dir.isValid());
        doc = dir.filePath(QStringLiteral("A.tif"));
        ASSERT_TRUE(gdtest::MakeG4Tiff(doc, {{2480, 3508}, {1240, 1754}, {3508, 2480}}));
        baseline = gdtest::LastCupsJobId();
    }

    void TearDown() override {
        // cups-pdf's folder would grow with every run.
        for (const gdtest::TCupsJob& j : gdtest::CupsJobs())
            if (j.id > baseline)
                QFile::remove(gdtest::CupsPdfOutput(j.id));
    }

    static QString* FSetupError;
    gdtest::TCupsLock lock;
    QTemporaryDir dir;
    QString doc;
    int baseline = 0;
};

QString* CupsPrint::FSetupError = nullptr;

// Puts the queue back to accepting jobs whatever the test does.
struct TRejectJobs {
    TRejectJobs() { gdtest::Run(QStringLiteral("cupsreject"), {QStringLiteral("PDF")}); }
    ~TRejectJobs() { gdtest::Run(QStringLiteral("cupsaccept"), {QStringLiteral("PDF")}); }
};

} // namespace

TEST_F(CupsPrint, ThreePagesTwoCopiesReachCupsAsOneJob) {
    gd::TPrinting printing(gd::TCurrentPrinter::AnyInstalled());
    QStringList status;
    printing.StatusText = [&](const QString& s) { status << s; };
    EXPECT_EQ(gd::ExecutePrintCommand(printing, QStringLiteral("A"), doc, QStringLiteral("2")),
              '<');

    const auto job = gdtest::WaitForJob(baseline, QStringLiteral("Kvelmar - A"), 2);
    ASSERT_TRUE(job) << "no finished job named Kvelmar - A with two copies";
    EXPECT_EQ(job->state, 9); // completed
    EXPECT_EQ(job->copies, 2);
    const QString pdf = gdtest::CupsPdfOutput(job->id);
    ASSERT_FALSE(pdf.isEmpty());
    // cups-pdf writes one copy; CUPS holds the job's copy count.
    EXPECT_EQ(gdtest::PdfPageCount(pdf), 3);
    EXPECT_EQ(status,
              (QStringList{QStringLiteral("Печать \"Kvelmar - A\": лист 1 из 3"),
                           QStringLiteral("Печать \"Kvelmar - A\": лист 2 из 3"),
                           QStringLiteral("Печать \"Kvelmar - A\": лист 3 из 3"), QString()}));
}

TEST_F(CupsPrint, ACopyCountBelowOnePrintsOneCopy) {
    gd::TPrinting printing(gd::TCurrentPrinter::AnyInstalled());
    EXPECT_EQ(gd::ExecutePrintCommand(printing, QStringLiteral("B"), doc, QStringLiteral("0")),
              '<');
    const auto job = gdtest::WaitForJob(baseline, QStringLiteral("Kvelmar - B"));
    ASSERT_TRUE(job);
    EXPECT_EQ(job->copies, 1);
}

TEST_F(CupsPrint, AQueueThatRejectsJobsFailsTheRequest) {
    gd::TPrinting printing(gd::TCurrentPrinter::AnyInstalled());
    {
        TRejectJobs reject;
        EXPECT_FALSE(gd::DestinationAcceptsJobs(QStringLiteral("PDF")));
        EXPECT_EQ(gd::ExecutePrintCommand(printing, QStringLiteral("R"), doc, QStringLiteral("1")),
                  '#');
        const auto image = gd::OpenPrintImage(doc);
        try {
            printing.Print(QStringLiteral("Kvelmar - R"), *image, 1);
            ADD_FAILURE() << "no error";
        } catch (const gd::Exception& e) {
            EXPECT_EQ(e.message(), QStringLiteral("Принтер \"PDF\" не принимает задания"));
        }
    }
    EXPECT_TRUE(gd::DestinationAcceptsJobs(QStringLiteral("PDF")));
    for (const gdtest::TCupsJob& j : gdtest::CupsJobs())
        EXPECT_FALSE(j.id > baseline && j.name == QStringLiteral("Kvelmar - R")) << j.id;
}

TEST_F(CupsPrint, TheJobUsesThePrintersDefaultPageAndResolution) {
    gd::TCurrentPrinter current;
    const QPrinterInfo info = current.Resolve();
    EXPECT_EQ(info.printerName(), QStringLiteral("PDF"));
    gd::TCupsPrintDevice device(info);
    // cups-pdf: A4 (595 x 842 points) imageable to the edges, at Qt's high
    // resolution of 1200 dpi; not Qt's default 10-point margins.
    EXPECT_EQ(device.PrintableArea(), QSize(9917, 14033));
}

TEST_F(CupsPrint, OneBitPagesStayOneBit) {
    gd::TPrinting printing(gd::TCurrentPrinter::AnyInstalled());
    const auto image = gd::OpenPrintImage(doc);
    ASSERT_EQ(image->FrameCount(), 3);
    printing.Print(QStringLiteral("Kvelmar - mono"), *image, 1);
    const auto job = gdtest::WaitForJob(baseline, QStringLiteral("Kvelmar - mono"));
    ASSERT_TRUE(job);
    EXPECT_EQ(gdtest::PdfImageBits(gdtest::CupsPdfOutput(job->id)), std::vector<int>({1, 1, 1}));
}

TEST_F(CupsPrint, AChosenPrinterThatIsGoneFails) {
    gd::TCurrentPrinter current;
    current.Choose(QStringLiteral("NoSuchQueue"));
    try {
        current.Resolve();
        FAIL() << "no error";
    } catch (const gd::Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Принтер \"NoSuchQueue\" не найден"));
    }
}

TEST_F(CupsPrint, WithoutAReachableCupsServerThereIsNoPrinter) {
    const gdtest::RunResult r = gdtest::Run(QStringLiteral(GD_PRINT_PROBE), {doc}, 60000,
                                            {QStringLiteral("CUPS_SERVER=/nonexistent/cups.sock")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("installed=0 mark=#")) << r.out.toStdString();
    // The real server is untouched.
    const gdtest::RunResult here = gdtest::Run(QStringLiteral(GD_PRINT_PROBE), {doc});
    EXPECT_EQ(here.out, "installed=1 mark=< error=\n");
}

TEST_F(CupsPrint, PrintersWithoutADefaultFailWithTheLookupMessage) {
    // PRINTER names the user's default destination; one that does not exist
    // leaves the installed printers without a default.
    const gdtest::RunResult r = gdtest::Run(QStringLiteral(GD_PRINT_PROBE), {doc}, 60000,
                                            {QStringLiteral("PRINTER=NoSuchQueue")});
    EXPECT_EQ(r.out, "installed=1 mark=# error=There is no default printer currently selected\n");
}

TEST_F(CupsPrint, ThePrintActionPrintsWithTheDialogsPrinterAndCopies) {
    gd::TPrinting printing(true);
    QString shownWith;
    printing.PrintDialog = [&](QWidget*, const QString& printer) {
        shownWith = printer;
        return std::optional<gd::TPrintChoice>(gd::TPrintChoice{QStringLiteral("PDF"), 2});
    };
    QStringList errors;
    const auto image = gd::OpenPrintImage(doc);
    ASSERT_TRUE(image->FrameCount() == 3);
    image->SelectFrame(2);
    printing.ActionPrintExecute(nullptr, QStringLiteral("D"), *image,
                                [&](const QString& m) { errors << m; });
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(shownWith, QStringLiteral("PDF")); // the default, none chosen yet
    EXPECT_EQ(printing.Printer().Chosen(), QStringLiteral("PDF"));
    EXPECT_EQ(image->ActiveFrame(), 2);
    const auto job = gdtest::WaitForJob(baseline, QStringLiteral("Kvelmar - D"));
    ASSERT_TRUE(job);
    EXPECT_EQ(job->copies, 2);
    EXPECT_EQ(gdtest::PdfPageCount(gdtest::CupsPdfOutput(job->id)), 3);
}

TEST_F(CupsPrint, ThePrintActionCancelledPrintsNothingAndKeepsThePrinter) {
    gd::TPrinting printing(true);
    printing.Printer().Choose(QStringLiteral("PDF"));
    printing.PrintDialog = [](QWidget*, const QString&) {
        return std::optional<gd::TPrintChoice>();
    };
    const auto image = gd::OpenPrintImage(doc);
    bool errorShown = false;
    printing.ActionPrintExecute(nullptr, QStringLiteral("E"), *image,
                                [&](const QString&) { errorShown = true; });
    EXPECT_FALSE(errorShown);
    EXPECT_EQ(printing.Printer().Chosen(), QStringLiteral("PDF"));
    QThread::msleep(1500);
    for (const gdtest::TCupsJob& j : gdtest::CupsJobs())
        EXPECT_FALSE(j.id > baseline && j.name == QStringLiteral("Kvelmar - E"));
}

TEST_F(CupsPrint, ThePrintActionShowsAFailureInTheErrorBox) {
    gd::TPrinting printing(true);
    printing.PrintDialog = [](QWidget*, const QString&) {
        return std::optional<gd::TPrintChoice>(gd::TPrintChoice{QStringLiteral("PDF"), 1});
    };
    const auto image = gd::OpenPrintImage(doc);
    QStringList errors;
    {
        TRejectJobs reject;
        printing.ActionPrintExecute(nullptr, QStringLiteral("F"), *image,
                                    [&](const QString& m) { errors << m; });
    }
    EXPECT_EQ(errors, QStringList{QStringLiteral("Принтер \"PDF\" не принимает задания")});
}

TEST_F(CupsPrint, ThePrintActionShowsAPageThatDoesNotDecodeAndSendsNoJob) {
    gd::TPrinting printing(true);
    printing.PrintDialog = [](QWidget*, const QString&) {
        return std::optional<gd::TPrintChoice>(gd::TPrintChoice{QStringLiteral("PDF"), 1});
    };
    const QString damaged = dir.filePath(QStringLiteral("D.tif"));
    doctest::WriteShortTiff(damaged, 800, 1000);
    const auto image = gd::OpenPrintImage(damaged);
    QStringList errors;
    printing.ActionPrintExecute(nullptr, QStringLiteral("D"), *image,
                                [&](const QString& m) { errors << m; });
    EXPECT_EQ(errors, QStringList{QStringLiteral(
                          "Страница 1 не напечатана: Страница повреждена или записана в "
                          "неизвестном виде")});
    EXPECT_EQ(gdtest::LastCupsJobId(), baseline);
}

TEST_F(CupsPrint, ThePrinterSetupDialogListsThePrintersAndChoosesOnOk) {
    gd::TPrinterSetupDialog dialog(nullptr, QStringLiteral("PDF"));
    EXPECT_EQ(dialog.SelectedPrinter(), QStringLiteral("PDF"));
    EXPECT_EQ(dialog.cbxPrinter->count(), QPrinterInfo::availablePrinterNames().size());
    EXPECT_TRUE(dialog.lblInfo->text().contains(QStringLiteral("Принтер по умолчанию")));

    gd::TPrinting printing(true);
    printing.SetupDialog = [](QWidget*, const QString&) { return std::optional<QString>(); };
    printing.ItemPrinterClick(nullptr);
    EXPECT_TRUE(printing.Printer().Chosen().isEmpty()); // Cancel: still the system default
    printing.SetupDialog = [](QWidget*, const QString& current) {
        return std::optional<QString>(current);
    };
    printing.ItemPrinterClick(nullptr);
    EXPECT_EQ(printing.Printer().Chosen(), QStringLiteral("PDF"));
}

TEST(PrintProgressDialog, CancelStopsTheJob) {
    const auto progress = gd::MakeProgressDialog(nullptr, QStringLiteral("Kvelmar - A"));
    EXPECT_TRUE(progress->Sheet(0, 100));
    auto* dialog = QApplication::activeModalWidget();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<QProgressDialog*>(w))
            dialog = p;
    ASSERT_NE(qobject_cast<QProgressDialog*>(dialog), nullptr);
    qobject_cast<QProgressDialog*>(dialog)->cancel();
    EXPECT_FALSE(progress->Sheet(1, 100));
}

TEST_F(CupsPrint, TheRealDialogsAnswerOkAndCancel) {
    // Closes the modal dialog as soon as it runs.
    const auto answer = [](bool ok) {
        QTimer::singleShot(200, [ok] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            ok ? dialog->accept() : dialog->reject();
        });
    };
    answer(false);
    EXPECT_FALSE(gd::ShowPrintDialog(nullptr, QStringLiteral("PDF")));
    answer(true);
    const std::optional<gd::TPrintChoice> choice =
        gd::ShowPrintDialog(nullptr, QStringLiteral("PDF"));
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->printer, QStringLiteral("PDF"));
    EXPECT_EQ(choice->copies, 1);

    answer(false);
    EXPECT_FALSE(gd::ShowPrinterSetupDialog(nullptr, QStringLiteral("PDF")));
    answer(true);
    EXPECT_EQ(gd::ShowPrinterSetupDialog(nullptr, QStringLiteral("PDF")), QStringLiteral("PDF"));
}
