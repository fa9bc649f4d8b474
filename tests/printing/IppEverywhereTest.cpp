// The real gdserver printing to a driverless IPP Everywhere printer (a real
// ippeveprinter on loopback) through its CUPS queue, driven by gdclient.
#include "CupsSupport.h"
#include "support/TestSupport.h"

#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {

const QString Queue = QStringLiteral("GdIppEverywhere");

class IppEverywhere : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("ippeveprinter")).isEmpty())
            GTEST_SKIP() << "ippeveprinter (cups-ipp-utils) is not installed";
        const QString cups = SetUpCupsPdf();
        ASSERT_TRUE(cups.isEmpty()) << cups.toStdString();
        printer.emplace(Queue);
        ASSERT_TRUE(printer->Error().isEmpty()) << printer->Error().toStdString();
        ASSERT_TRUE(
            MakeG4Tiff(s.Docs + QStringLiteral("/A.tif"), {{800, 1100}, {400, 550}, {1100, 800}}));
        WriteFile(ctl, "");
        // The queue is this user's default printer, as lpoptions -d would
        // make it; the system default stays PDF for the other tests.
        ASSERT_TRUE(s.Start({s.Docs, ctl}, {QStringLiteral("LPDEST=") + Queue}));
        ASSERT_EQ(Client(ctl, QStringLiteral("TEST=")), "<");
    }
    TCupsLock lock;
    std::optional<TIppEvePrinter> printer;
    TServed s;
    QString ctl = s.Dir.filePath(QStringLiteral("client.ctl"));
};

} // namespace

TEST_F(IppEverywhere, PrintReachesThePrinterAsOneJobWithItsCopies) {
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A;COPIES=2")), "<");
    const auto job = printer->WaitForJob();
    ASSERT_TRUE(job);
    EXPECT_EQ(printer->CompletedJobs().size(), 1u);
    EXPECT_EQ(job->name, QStringLiteral("Kvelmar - A"));
    EXPECT_EQ(job->copies, 2);
    ASSERT_TRUE(job->document.endsWith(QStringLiteral(".pdf"))) << job->document.toStdString();
    EXPECT_EQ(PdfPageCount(job->document), 3);
    EXPECT_EQ(PdfImageBits(job->document), std::vector<int>({1, 1, 1}));
}

TEST_F(IppEverywhere, APrinterThatHasGoneGivesAFailedMark) {
    printer->Stop();
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A")), "#");
    // The server keeps serving.
    EXPECT_EQ(Client(ctl, QStringLiteral("TEST=")), "<");
}
