// The real gdserver binary, driven as a user or a service manager would.
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {
QStringList HeadlessEnv() {
    return {"QT_QPA_PLATFORM=offscreen"};
}

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
    EXPECT_TRUE(
        QString::fromUtf8(r.err).contains(QStringLiteral("Папка \"%1\" не найдена.").arg(missing)))
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
    EXPECT_TRUE(WaitFor(
        [&] {
            second.waitForReadyRead(50);
            err += second.readAllStandardError();
            return err.contains("Найден работающий сервер печати!");
        },
        30000))
        << err.constData();
    EXPECT_EQ(second.state(), QProcess::Running); // a warning, not a refusal

    ::kill(second.processId(), SIGTERM);
    ::kill(first.processId(), SIGKILL);
    ASSERT_TRUE(second.waitForFinished(30000));
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);

    // The killed server left no stale lock: a new one starts without a warning.
    // Once it has served a request (folder mode), SIGTERM reaches its handler.
    const QString dde = dir.filePath("docs/probe.dde");
    WriteFile(dde, ">" + QByteArray(34, '0') + "TEST=\r\n");
    QProcess third;
    ASSERT_TRUE(StartServer(third, exe, {dir.filePath("docs")}));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dde).startsWith('<'); }, 30000));
    ::kill(third.processId(), SIGTERM);
    ASSERT_TRUE(third.waitForFinished(30000));
    EXPECT_FALSE(third.readAllStandardError().contains("Найден работающий сервер печати!"));
    EXPECT_EQ(third.exitCode(), 0);
}

// On the offscreen platform nobody can answer the folder dialog or switch the
// server on again: where the windowed program would wait for the user, the
// headless one says why on standard error and ends, in bounded time.
struct HeadlessEnd {
    const char* what;
    bool serving;           // started on a folder and a control file
    bool removeControlFile; // then the control file disappears
    int exitCode;
    const char* message; // %1: the control file
};

class HeadlessEnds : public ::testing::TestWithParam<HeadlessEnd> {};

TEST_P(HeadlessEnds, WithTheReasonAndItsExitCode) {
    const HeadlessEnd& c = GetParam();
    QTemporaryDir dir;
    const QString exe = CopyServerBinary(dir.path());
    const QString docs = dir.filePath("docs"), ctl = dir.filePath("client.ctl");
    QDir().mkpath(docs);
    WriteFile(ctl, "");
    QProcess p;
    ASSERT_TRUE(StartServer(p, exe, c.serving ? QStringList{docs, ctl} : QStringList{}));
    if (c.removeControlFile) {
        ASSERT_TRUE(
            WaitFor([&] { return ReadFile(dir.filePath("gdserver.ini")).size() > 0; }, 30000));
        QThread::msleep(500);
        QFile::remove(ctl);
    }
    const bool ended = p.waitForFinished(60000);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (!ended) {
        p.kill();
        p.waitForFinished();
    }
    ASSERT_TRUE(ended) << "still running; " << err.toStdString();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), c.exitCode);
    EXPECT_TRUE(err.contains(QString::fromUtf8(c.message).arg(ctl))) << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Offscreen, HeadlessEnds,
                         ::testing::Values(HeadlessEnd{"NoArgumentsIsACancelledFolderChoice", false,
                                                       false, 1, "Не указана папка документов."},
                                           HeadlessEnd{"ControlFileRemoved", true, true, 3,
                                                       "Сервер остановлен: Не найден файл \"%1\""}),
                         [](const auto& info) { return std::string(info.param.what); });
