// The real gdserver printing on the real CUPS queue, driven by gdclient.
#include "CupsSupport.h"
#include "document/DocTestSupport.h"
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

TEST_F(PrintE2E, DocumentsThatDoNotDecodeAreRefusedWithNoJob) {
    const QString ctl = s.Dir.filePath(QStringLiteral("client.ctl"));
    WriteFile(ctl, "");
    WriteFile(s.Docs + QStringLiteral("/Empty.tif"), "");
    WriteFile(s.Docs + QStringLiteral("/Text.jpg"), "not a picture\n");
    const QByteArray a = ReadFile(s.Docs + QStringLiteral("/A.tif"));
    WriteFile(s.Docs + QStringLiteral("/Cut.tif"), a.left(a.size() / 2));
    doctest::WriteShortTiff(s.Docs + QStringLiteral("/Damaged.tif"), 800, 1000);
    doctest::WriteShortTiff(s.Docs + QStringLiteral("/Huge.tif"), 60000, 60000);
    doctest::WriteShortTiff(s.Docs + QStringLiteral("/Bomb.tif"), 30000, 30000);
    ASSERT_TRUE(s.Start({s.Docs, ctl}));
    for (const char* name : {"Empty", "Text", "Cut", "Damaged", "Huge", "Bomb"})
        EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=") + QLatin1String(name)), "#") << name;
    EXPECT_EQ(Client(ctl, QStringLiteral("PRINT=A")), "<");
    // Only A's job reached CUPS.
    ASSERT_TRUE(WaitForJob(baseline, QStringLiteral("Kvelmar - A")));
    int jobs = 0;
    for (const TCupsJob& j : CupsJobs())
        jobs += j.id > baseline && j.name.startsWith(QStringLiteral("Kvelmar - "));
    EXPECT_EQ(jobs, 1);
}
