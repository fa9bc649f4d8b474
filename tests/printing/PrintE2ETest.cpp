// The real gdserver printing on the real CUPS queue, driven by gdclient.
#include "CupsSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {

class PrintE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const QString error = SetUpCupsPdf();
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        ASSERT_TRUE(
            MakeG4Tiff(s.Docs + QStringLiteral("/A.tif"), {{800, 1100}, {400, 550}, {1100, 800}}));
        baseline = LastCupsJobId();
    }
    void TearDown() override {
        for (const TCupsJob& j : CupsJobs())
            if (j.id > baseline)
                QFile::remove(CupsPdfOutput(j.id));
    }
    TCupsLock lock;
    TServed s;
    int baseline = 0;
};

} // namespace

TEST_F(PrintE2E, FolderModePrintsADocumentWithItsCopies) {
    ASSERT_TRUE(s.Start({s.Docs}));
    const QString ctl = s.Docs + QStringLiteral("/client.dde");
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A;COPIES=2")), "<");
    const auto job = WaitForJob(baseline, QStringLiteral("Kvelmar - A"), 2);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->copies, 2);
    EXPECT_EQ(PdfPageCount(CupsPdfOutput(job->id)), 3);

    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=Missing")), "#");
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=../docs/A")), "#");

    ASSERT_TRUE(
        QFile::copy(s.Docs + QStringLiteral("/A.tif"), s.Docs + QStringLiteral("/Abc.tif")));
    const int before = LastCupsJobId();
    EXPECT_EQ(Client(ctl, QStringLiteral("print=Abc;copies=abc")), "<");
    const auto one = WaitForJob(before, QStringLiteral("Kvelmar - Abc"));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->copies, 1);
}

TEST_F(PrintE2E, WithoutAPrinterPrintIsRefused) {
    const QString ctl = s.Dir.filePath(QStringLiteral("client.ctl"));
    WriteFile(ctl, "");
    ASSERT_TRUE(s.Start({s.Docs, ctl}, {QStringLiteral("CUPS_SERVER=/nonexistent/cups.sock")}));
    EXPECT_EQ(Client(ctl, QStringLiteral("TEST=")), "<");
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A")), "#");
}

TEST_F(PrintE2E, AQueueThatRejectsJobsGivesAFailedMark) {
    const QString ctl = s.Dir.filePath(QStringLiteral("client.ctl"));
    WriteFile(ctl, "");
    ASSERT_TRUE(s.Start({s.Docs, ctl}));
    EXPECT_EQ(Client(ctl, QStringLiteral("TEST=")), "<");
    gdtest::Run(QStringLiteral("cupsreject"), {QStringLiteral("PDF")});
    const QByteArray mark = Client(ctl, QStringLiteral("PRINT=A"));
    gdtest::Run(QStringLiteral("cupsaccept"), {QStringLiteral("PDF")});
    EXPECT_EQ(mark, "#");
    // The server keeps serving, and prints again once the queue accepts.
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A")), "<");
}
