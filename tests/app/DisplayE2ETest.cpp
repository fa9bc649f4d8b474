// SHOW and EDIT in the real gdserver binary, requested by the real gdclient:
// held in a window someone can see (on an Xvfb), refused on the offscreen
// platform, where nobody could.
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

using namespace gdtest;

namespace {

struct Served {
    QTemporaryDir Dir;
    QString Docs = Dir.filePath("docs");
    QString Ctl = Dir.filePath("client.ctl");
    QProcess Server;

    Served() {
        QDir().mkpath(Docs);
        WriteFile(Ctl, "");
    }
    bool Start(const QStringList& extraEnv) {
        if (Run("convert-im6.q16",
                {"-size", "640x480", "xc:white", "-size", "640x480", "xc:black", Docs + "/A.tif"})
                .exitCode != 0)
            return false;
        Server.setProgram(CopyServerBinary(Dir.path()));
        Server.setArguments({Docs, Ctl});
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        for (const QString& kv : extraEnv)
            env.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        Server.setProcessEnvironment(env);
        Server.start();
        return Server.waitForStarted(10000);
    }
    RunResult Client(const QString& command, int waitSeconds) {
        return Run(QStringLiteral(GD_CLIENT_EXE),
                   {Ctl, command, "--wait", QString::number(waitSeconds)}, 120000,
                   {"ASAN_OPTIONS=detect_leaks=0"});
    }
    QByteArray Marks() {
        QByteArray marks;
        for (const QByteArray& line : ReadFile(Ctl).split('\n'))
            if (!line.isEmpty())
                marks += line[0];
        return marks;
    }
    int Terminate() {
        ::kill(Server.processId(), SIGTERM);
        if (!Server.waitForFinished(30000))
            return -1;
        return Server.exitCode();
    }
};

} // namespace

TEST(DisplayE2E, ShowIsHeldInAWindowAndSigtermMarksItFailed) {
    Xvfb xvfb;
    ASSERT_FALSE(xvfb.Display().isEmpty()) << "cannot start Xvfb";
    Served s;
    ASSERT_TRUE(s.Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + xvfb.Display()}));
    ASSERT_EQ(s.Client("TEST=", 60).out.trimmed(), "<"); // up and serving

    // --wait returns 2 (time-out) while the line stays held at "*".
    const RunResult shown = s.Client("SHOW=A", 8);
    EXPECT_EQ(shown.exitCode, 2);
    EXPECT_EQ(shown.out.trimmed(), "*");
    EXPECT_EQ(s.Marks(), "<*");

    EXPECT_EQ(s.Terminate(), 0) << s.Server.readAllStandardError().constData();
    EXPECT_EQ(s.Marks(), "<#");
}

TEST(DisplayE2E, OffscreenRefusesShowAndEditAndServesOn) {
    Served s;
    ASSERT_TRUE(s.Start({"QT_QPA_PLATFORM=offscreen"}));
    ASSERT_EQ(s.Client("TEST=", 60).out.trimmed(), "<"); // up and serving

    for (const char* command : {"SHOW=nothere", "SHOW=A", "EDIT=A", "SHOW="}) {
        const RunResult r = s.Client(command, 5);
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_EQ(r.out.trimmed(), "#") << command;
    }
    const RunResult later = s.Client("TEST=", 5);
    EXPECT_EQ(later.exitCode, 0);
    EXPECT_EQ(later.out.trimmed(), "<");
    EXPECT_EQ(s.Terminate(), 0);
}
