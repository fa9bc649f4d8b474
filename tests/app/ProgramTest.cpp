// The real gdserver binary, driven as a user or a service manager would.
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {
QStringList HeadlessEnv() { return {"QT_QPA_PLATFORM=offscreen"}; }

bool StartServer(QProcess& p, const QString& exe, const QStringList& args) {
    p.setProgram(exe);
    p.setArguments(args);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start();
    return p.waitForStarted(10000);
}
} // namespace

TEST(Program, MissingFolderIsReportedOnStandardError) {
    QTemporaryDir dir;
    const QString exe = CopyServerBinary(dir.path());
    const QString missing = dir.filePath("no such folder");
    const RunResult r = gdtest::Run(exe, {missing}, 60000, HeadlessEnv());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.exitCode, -1);
    EXPECT_TRUE(QString::fromUtf8(r.err).contains(
        QStringLiteral("Папка \"%1\" не найдена.").arg(missing)))
        << r.err.constData();
}

TEST(Program, FirstRunWritesSettingsAndSigtermEndsCleanly) {
    QTemporaryDir dir;
    const QString exe = CopyServerBinary(dir.path());
    QDir().mkpath(dir.filePath("docs"));
    QProcess p;
    ASSERT_TRUE(StartServer(p, exe, {dir.filePath("docs")}));
    const QString ini = dir.filePath("gdserver.ini");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(ini).contains("ConvertDefExt"); }, 30000));
    EXPECT_EQ(ReadFile(ini), QByteArray("[Setup]\nPathIMG=") + dir.filePath("docs").toUtf8() +
                                 "/\nDefFileExt=tif\nConvertDefExt=0\n");
    QThread::msleep(300);
    ::kill(p.processId(), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
}

TEST(Program, SecondServerFromTheSameFileWarnsThenServes) {
    QTemporaryDir dir;
    const QString exe = CopyServerBinary(dir.path());
    QDir().mkpath(dir.filePath("docs"));
    QProcess first, second;
    ASSERT_TRUE(StartServer(first, exe, {dir.filePath("docs")}));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir.filePath("gdserver.ini")).size() > 0; }, 30000));
    QThread::msleep(500);
    ASSERT_TRUE(StartServer(second, exe, {dir.filePath("docs")}));
    QByteArray err;
    EXPECT_TRUE(WaitFor([&] {
        second.waitForReadyRead(50);
        err += second.readAllStandardError();
        return err.contains("Найден работающий сервер печати!");
    }, 30000)) << err.constData();
    EXPECT_EQ(second.state(), QProcess::Running); // a warning, not a refusal

    ::kill(second.processId(), SIGTERM);
    ::kill(first.processId(), SIGKILL);
    ASSERT_TRUE(second.waitForFinished(30000));
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);

    // The killed server left no stale lock: a new one starts without a warning.
    QProcess third;
    ASSERT_TRUE(StartServer(third, exe, {dir.filePath("docs")}));
    QThread::msleep(1500);
    ::kill(third.processId(), SIGTERM);
    ASSERT_TRUE(third.waitForFinished(30000));
    EXPECT_FALSE(third.readAllStandardError().contains("Найден работающий сервер печати!"));
    EXPECT_EQ(third.exitCode(), 0);
}
