#include "server/Startup.h"
#include "common/Exception.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"

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
    const QString first = MakeTempFileName("bmp", [&] { return tick++; });
    EXPECT_EQ(first, QDir::tempPath() + "/0000AB12.bmp");
    gdtest::WriteFile(QDir::tempPath() + "/0000AB13.tmp", "");
    tick = 0xAB13;
    EXPECT_EQ(MakeTempFileName("tmp", [&] { return tick++; }), QDir::tempPath() + "/0000AB14.tmp");
    QFile::remove(QDir::tempPath() + "/0000AB13.tmp");
}

TEST(InstanceLock, AnotherHolderIsNoticedAndACrashLeavesNoStaleLock) {
    QTemporaryDir dir;
    TInstanceLock probe("/SOME/PROGRAM", dir.path());
    // A real second process holds the lock as another server would.
    QProcess holder;
    holder.start("bash", {"-c", "exec 9<>\"$0\"; flock -s 9; exec sleep 60", probe.LockPath()});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(gdtest::WaitFor([&] { return QFile::exists(probe.LockPath()); }, 5000));
    QThread::msleep(200);

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

    holder.kill(); // SIGKILL: the kernel drops its lock
    holder.waitForFinished();
    TInstanceLock third("/SOME/PROGRAM", dir.path());
    EXPECT_NO_THROW(third.CheckSingleInstance());
    EXPECT_TRUE(third.IsHeld());
}
