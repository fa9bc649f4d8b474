#include "server/Startup.h"
#include "common/Exception.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace gd;

namespace {

class CommandLineTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString docs, ini;
    void SetUp() override {
        docs = dir.filePath("Docs");
        QDir().mkpath(docs);
        ini = dir.filePath("gdserver.ini");
    }
    TCommandLine Parse(const QStringList& args, SelectDocFolderFn select = nullptr) {
        TSettings s(ini);
        s.LoadSetup();
        return ParseCommandLine(args, s, select);
    }
    QString Error(const QStringList& args, SelectDocFolderFn select = nullptr) {
        try {
            Parse(args, select);
        } catch (const Exception& e) {
            return e.message();
        }
        return "no error";
    }
};

} // namespace

TEST_F(CommandLineTest, FolderGetsSeparatorAndIsStored) {
    const TCommandLine cl = Parse({docs});
    EXPECT_EQ(cl.FDocFolder, docs + "/");
    EXPECT_TRUE(cl.FCtlFile.isEmpty());
    EXPECT_FALSE(cl.FClientBound);
    TSettings s(ini);
    s.LoadSetup();
    EXPECT_EQ(s.PathIMG(), docs + "/");
    EXPECT_EQ(Parse({docs + "/"}).FDocFolder, docs + "/");
}

TEST_F(CommandLineTest, FailureMessages) {
    EXPECT_EQ(Error({dir.filePath("nope")}),
              QStringLiteral("Папка \"%1\" не найдена").arg(dir.filePath("nope")));
    gdtest::WriteFile(dir.filePath("file"), "x");
    EXPECT_EQ(Error({dir.filePath("file")}),
              QStringLiteral("Папка \"%1\" не найдена").arg(dir.filePath("file")));
    EXPECT_EQ(Error({docs, dir.filePath("missing.ctl")}),
              QStringLiteral("Не найден файл \"%1\"").arg(dir.filePath("missing.ctl")));
    const QString inFolder = docs.toUpper() + "/client.DDE";
    EXPECT_EQ(Error({docs, inFolder}),
              QStringLiteral("Файл управления \"%1\"\rне может размещаться в папке "
                             "документов\rили он должен иметь другое расширение")
                  .arg(inFolder));
    EXPECT_EQ(Error({}, [](const QString&, QString&) { return false; }),
              "Не указана папка документов");
}

TEST_F(CommandLineTest, ControlFileVariants) {
    gdtest::WriteFile(docs + "/client.txt", "");
    gdtest::WriteFile(docs + "/client.dde", "");
    QDir().mkpath(dir.filePath("other"));
    gdtest::WriteFile(dir.filePath("other/client.dde"), "");
    EXPECT_EQ(Parse({docs, docs + "/client.txt"}).FCtlFile, docs + "/client.txt");
    const TCommandLine other = Parse({docs, dir.filePath("other/client.dde")});
    EXPECT_EQ(other.FCtlFile, dir.filePath("other/client.dde"));
    EXPECT_TRUE(other.FClientBound);

    // A relative name has no folder part and passes, stored as a full path.
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(docs);
    const TCommandLine rel = Parse({docs, "client.dde", "third", "fourth"});
    QDir::setCurrent(cwd);
    EXPECT_EQ(rel.FCtlFile, docs + "/client.dde");
    EXPECT_EQ(rel.FDocFolder, docs + "/");
}

TEST_F(CommandLineTest, FolderDialogOffersStoredFolder) {
    TSettings s(ini);
    s.SetPathIMG(docs + "/");
    QString offered, caption;
    const TCommandLine cl = Parse({}, [&](const QString& c, QString& folder) {
        caption = c;
        offered = folder;
        folder = dir.path();
        return true;
    });
    EXPECT_EQ(caption, "Выберите папку документов:");
    EXPECT_EQ(offered, docs + "/");
    EXPECT_EQ(cl.FDocFolder, dir.path() + "/");

    // A stored folder that no longer exists is not offered.
    TSettings again(ini);
    again.SetPathIMG(docs + "/");
    QDir(docs).removeRecursively();
    offered = "unchanged";
    Error({}, [&](const QString&, QString& folder) {
        offered = folder;
        return false;
    });
    EXPECT_EQ(offered, "");
}

TEST(InstanceName, SlashesAndUpperCase) {
    EXPECT_EQ(ComputeInstanceName("/opt/gd/gdserver"), "/OPT/GD/GDSERVER");
    EXPECT_EQ(ComputeInstanceName("C:\\Progs\\сервер.exe"), "C:/PROGS/СЕРВЕР.EXE");
    EXPECT_EQ(ComputeInstanceName(QString(300, u'a')).size(), 256);
}

TEST(TempFileName, FormatAndCollision) {
    std::uint32_t tick = 0xAB12;
    const QString first = FreeNameInTempFolder("bmp", [&] { return tick++; });
    EXPECT_EQ(first, QDir::tempPath() + "/0000AB12.bmp");
    gdtest::WriteFile(QDir::tempPath() + "/0000AB13.tmp", "");
    tick = 0xAB13;
    EXPECT_EQ(FreeNameInTempFolder("tmp", [&] { return tick++; }),
              QDir::tempPath() + "/0000AB14.tmp");
    QFile::remove(QDir::tempPath() + "/0000AB13.tmp");
}

namespace {

// Another process taking the instance lock as a starting server does.
struct Probe {
    QProcess P;
    QByteArray Out;
    bool Start(const QString& name, const QString& folder) {
        P.start(QStringLiteral(GD_INSTANCE_PROBE), {name, folder});
        return P.waitForStarted(10000) && Line() == "ready";
    }
    QByteArray Line() {
        QDeadlineTimer deadline(20000);
        while (!Out.contains('\n') && !deadline.hasExpired() && P.state() == QProcess::Running) {
            P.waitForReadyRead(50);
            Out += P.readAllStandardOutput();
        }
        const qsizetype eol = Out.indexOf('\n');
        const QByteArray line = Out.left(eol);
        Out.remove(0, eol < 0 ? Out.size() : eol + 1);
        return line;
    }
    void Go() {
        P.write("g");
        P.waitForBytesWritten(5000);
    }
    void End() {
        P.closeWriteChannel();
        P.waitForFinished(10000);
    }
};

} // namespace

TEST(InstanceLock, AnotherHolderIsNoticedAndACrashLeavesNoStaleLock) {
    QTemporaryDir dir;
    // A real second process holds the lock as another server would.
    Probe holder;
    ASSERT_TRUE(holder.Start("/SOME/PROGRAM", dir.path()));
    holder.Go();
    ASSERT_EQ(holder.Line(), "alone");

    TInstanceLock second("/SOME/PROGRAM", dir.path());
    try {
        second.CheckSingleInstance();
        FAIL() << "no warning";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), kRunningServerFound);
    }
    EXPECT_TRUE(second.IsHeld()); // warns, then serves all the same
    second.CheckSingleInstance(); // already held: nothing more
    second.ReleaseInstanceLock();

    TInstanceLock otherProgram("/OTHER/PROGRAM", dir.path());
    EXPECT_NO_THROW(otherProgram.CheckSingleInstance());

    holder.P.kill(); // SIGKILL: the kernel drops its lock
    holder.P.waitForFinished();
    TInstanceLock third("/SOME/PROGRAM", dir.path());
    EXPECT_NO_THROW(third.CheckSingleInstance());
    EXPECT_TRUE(third.IsHeld());
}

// Two servers started at the same instant: exactly one of them warns, never
// neither (both finding the lock free) nor both.
TEST(InstanceLock, TwoStartedTogetherWarnExactlyOnce) {
    QTemporaryDir dir;
    constexpr int kRounds = 20;
    int pairsWith[3] = {0, 0, 0}; // by the number of warnings in the pair
    for (int round = 0; round < kRounds; ++round) {
        const QString name = QStringLiteral("/RACE/%1").arg(round);
        Probe a, b;
        ASSERT_TRUE(a.Start(name, dir.path()));
        ASSERT_TRUE(b.Start(name, dir.path()));
        a.Go();
        b.Go();
        const int warnings = int(a.Line() == "warned") + int(b.Line() == "warned");
        ++pairsWith[warnings];
        a.End();
        b.End();
        EXPECT_EQ(a.P.exitCode(), 0);
        EXPECT_EQ(b.P.exitCode(), 0);
    }
    EXPECT_EQ(pairsWith[1], kRounds)
        << "pairs without a warning: " << pairsWith[0] << ", with two: " << pairsWith[2];
}
