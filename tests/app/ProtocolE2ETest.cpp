// The real gdserver binary serving real control files, driven by gdclient.
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {

struct Served {
    QTemporaryDir Dir;
    QString Docs = Dir.path() + QStringLiteral("/docs");
    QProcess Server;

    Served() { QDir().mkpath(Docs); }
    ~Served() {
        if (Server.state() != QProcess::NotRunning) {
            ::kill(Server.processId(), SIGTERM);
            if (!Server.waitForFinished(20000))
                Server.kill();
        }
    }
    bool Start(const QStringList& args) {
        Server.setProgram(CopyServerBinary(Dir.path()));
        Server.setArguments(args);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        Server.setProcessEnvironment(env);
        Server.start();
        return Server.waitForStarted(10000);
    }
};

// gdclient's exit code and printed mark.
struct Outcome {
    int Code = -1;
    QByteArray Mark;
};

Outcome Client(const QString& ctl, const QString& command, int waitSeconds) {
    QStringList args{ctl, command};
    if (waitSeconds >= 0)
        args << "--wait" << QString::number(waitSeconds);
    const RunResult r =
        Run(QStringLiteral(GD_CLIENT_EXE), args, 120000, {"ASAN_OPTIONS=detect_leaks=0"});
    return {r.exitCode, r.out.trimmed()};
}

// Marks of the file's lines, in order.
QByteArray Marks(const QString& ctl) {
    QByteArray marks;
    for (const QByteArray& line : ReadFile(ctl).split('\n'))
        if (!line.isEmpty())
            marks += line[0];
    return marks;
}

} // namespace

TEST(Protocol, ClientBoundServesTestDeleteRefusalsAndExit) {
    Served s;
    const QString ctl = s.Dir.filePath("client.ctl");
    WriteFile(ctl, "");
    ASSERT_TRUE(s.Start({s.Docs, ctl}));
    // The first answer also waits for the start-up.
    Outcome o = Client(ctl, "TEST=", 60);
    ASSERT_EQ(o.Code, 0) << o.Mark.constData();
    EXPECT_EQ(o.Mark, "<");

    // Once serving, an answer comes within a second (a cycle every ~125 ms).
    o = Client(ctl, "TEST=", 1);
    EXPECT_EQ(o.Code, 0);
    EXPECT_EQ(o.Mark, "<");

    o = Client(ctl, "TEST", 10);
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Mark, "#");

    WriteFile(s.Docs + "/A.tif", "t");
    WriteFile(s.Docs + "/A.bmp", "b");
    EXPECT_EQ(Client(ctl, "DELETE=A", 10).Code, 0);
    EXPECT_FALSE(QFileInfo::exists(s.Docs + "/A.tif"));
    EXPECT_TRUE(QFileInfo::exists(s.Docs + "/A.bmp"));

    WriteFile(s.Dir.filePath("x.tif"), "outside");
    const QByteArray before = ReadFile(s.Dir.filePath("x.tif"));
    o = Client(ctl, "DELETE=../x", 10);
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Mark, "#");
    EXPECT_EQ(ReadFile(s.Dir.filePath("x.tif")), before);
    EXPECT_EQ(QDir(s.Dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 4)
        << QDir(s.Dir.path()).entryList().join(' ').toStdString(); // gdserver, ini, ctl, x.tif

    // EXIT and a request behind it in one write: EXIT "<", the other back to ">".
    const QByteArray tail =
        ">" + QByteArray(34, 'e') + "EXIT=\r\n>" + QByteArray(34, 'f') + "TEST=\r\n";
    WriteFile(ctl, ReadFile(ctl) + tail);
    ASSERT_TRUE(s.Server.waitForFinished(30000));
    EXPECT_EQ(s.Server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(s.Server.exitCode(), 0);
    EXPECT_EQ(Marks(ctl), "<<#<#<>");
}

TEST(Protocol, ControlFileDeletedByItsClientSwitchesTheServerOff) {
    Served s;
    const QString ctl = s.Dir.filePath("client.ctl");
    WriteFile(ctl, "");
    ASSERT_TRUE(s.Start({s.Docs, ctl}));
    ASSERT_EQ(Client(ctl, "TEST=", 60).Code, 0);
    QFile::remove(ctl);
    QThread::msleep(1000); // several cycles find it gone
    const Outcome o = Client(ctl, "TEST=", 2);
    EXPECT_EQ(o.Code, 2);
    EXPECT_EQ(o.Mark, ">");
    EXPECT_EQ(s.Server.state(), QProcess::Running);
}

TEST(Protocol, FolderModeServesEveryDdeFileInRotationAndRefusesDelete) {
    Served s;
    WriteFile(s.Docs + "/A.tif", "t");
    const QString one = s.Docs + "/one.dde";
    const QString two = s.Docs + "/TWO.DDE";
    WriteFile(one, "");
    WriteFile(two, "");
    ASSERT_TRUE(s.Start({s.Docs}));
    EXPECT_EQ(Client(one, "TEST=", 60).Code, 0);
    EXPECT_EQ(Client(two, "TEST=", 30).Code, 0);
    // Both waiting at once: both are answered, each in its own cycle.
    Client(one, "TEST=", -1);
    Client(two, "TEST=", -1);
    EXPECT_TRUE(WaitFor([&] { return Marks(one) == "<<" && Marks(two) == "<<"; }, 30000))
        << Marks(one).constData() << " " << Marks(two).constData();
    const Outcome o = Client(one, "DELETE=A", 30);
    EXPECT_EQ(o.Code, 1);
    EXPECT_TRUE(QFileInfo::exists(s.Docs + "/A.tif"));
    // A file dropped in later is found by a later scan.
    const Outcome late = Client(s.Docs + "/late.dde", "TEST=", 30);
    EXPECT_EQ(late.Code, 0);
}

TEST(GdClient, AppendsOneLineAfterAnUnfinishedLastLineAndCreatesMissingFiles) {
    QTemporaryDir dir;
    const QString ctl = dir.filePath("c.ctl");
    WriteFile(ctl, "free");
    Outcome o = Client(ctl, QStringLiteral("DELETE=Счёт"), -1);
    EXPECT_EQ(o.Code, 0);
    const QList<QByteArray> lines = ReadFile(ctl).split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "free\r");
    EXPECT_EQ(lines[1].size(), 1 + 34 + 11 + 1);
    EXPECT_TRUE(lines[1].startsWith('>'));
    EXPECT_TRUE(lines[1].endsWith("DELETE=\xD1\xF7\xB8\xF2\r")); // Windows-1251
    EXPECT_EQ(lines[2], "");

    // Nobody serves the file: the wait ends with the mark last seen.
    o = Client(ctl, "TEST=", 0);
    EXPECT_EQ(o.Code, 2);
    EXPECT_EQ(o.Mark, ">");
    // Two requests never share an id.
    const QList<QByteArray> after = ReadFile(ctl).split('\n');
    ASSERT_EQ(after.size(), 4);
    EXPECT_NE(after[1].mid(1, 16), after[2].mid(1, 16));

    const QString fresh = dir.filePath("new.dde");
    EXPECT_EQ(Client(fresh, "TEST=", -1).Code, 0);
    EXPECT_EQ(ReadFile(fresh).size(), 1 + 34 + 5 + 2);

    EXPECT_EQ(Client(ctl, QStringLiteral("SHOW=日本"), -1).Code, 2); // not in the code page
    EXPECT_EQ(Client(dir.filePath("no/such/folder.ctl"), "TEST=", -1).Code, 2);
    EXPECT_EQ(gdtest::Run(QStringLiteral(GD_CLIENT_EXE), {ctl}).exitCode, 2);
    EXPECT_EQ(ReadFile(ctl).split('\n').size(), 4); // refused requests wrote nothing
}
