// A held SHOW in the real gdserver binary, requested by the real gdclient.
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

TEST(DisplayE2E, ShowIsHeldAndSigtermMarksItFailed) {
    QTemporaryDir dir;
    const QString docs = dir.filePath("docs");
    QDir().mkpath(docs);
    ASSERT_EQ(gdtest::Run("convert-im6.q16", {"-size", "640x480", "xc:white", "-size", "640x480",
                                              "xc:black", docs + "/A.tif"})
                  .exitCode,
              0);
    const QString ctl = dir.filePath("client.ctl");
    WriteFile(ctl, "");

    QProcess server;
    server.setProgram(CopyServerBinary(dir.path()));
    server.setArguments({docs, ctl});
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    server.setProcessEnvironment(env);
    server.start();
    ASSERT_TRUE(server.waitForStarted(10000));

    // --wait returns 2 (time-out) while the line stays held at "*".
    const RunResult shown =
        gdtest::Run(QStringLiteral(GD_CLIENT_EXE), {ctl, "SHOW=A", "--wait", "4"}, 60000,
                    {"ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(shown.exitCode, 2);
    EXPECT_EQ(shown.out.trimmed(), "*");
    EXPECT_EQ(ReadFile(ctl).left(1), "*");

    ::kill(server.processId(), SIGTERM);
    ASSERT_TRUE(server.waitForFinished(30000));
    EXPECT_EQ(server.exitCode(), 0) << server.readAllStandardError().constData();
    EXPECT_EQ(ReadFile(ctl).left(1), "#");
}
