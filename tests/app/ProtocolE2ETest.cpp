// The real gdserver binary serving real control files, driven by gdclient.
#include "server/CtlFile.h"
#include "support/TestSupport.h"
#include "support/Tmpfs.h"

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace gdtest;

namespace {

// bash arguments that run the program with the given arguments byte for byte
// (QProcess would pass them through UTF-8).
QStringList RawArgs(const QString& program, const QList<QByteArray>& args) {
    QString script = QStringLiteral("exec \"$0\"");
    for (const QByteArray& arg : args) {
        script += QStringLiteral(" \"$(printf '");
        for (const char c : arg)
            script += u'\\' + QString::number(static_cast<unsigned char>(c), 8);
        script += QStringLiteral("')\"");
    }
    return {"-c", script, program};
}

// The path the programs take: change events where the file system reports
// them (false), or polling alone (true, forced by GDSERVER_POLL).
bool gPoll = false;

QStringList PathEnv() {
    return {"ASAN_OPTIONS=detect_leaks=0", gPoll ? "GDSERVER_POLL=1" : "GDSERVER_POLL="};
}

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
    bool Start(const QStringList& args) { return Launch(CopyServerBinary(Dir.path()), args); }
    // Arguments as raw bytes: names that are not UTF-8 reach the program as they are.
    bool StartRaw(const QList<QByteArray>& args) {
        return Launch("bash", RawArgs(CopyServerBinary(Dir.path()), args));
    }
    bool Launch(const QString& program, const QStringList& args) {
        Server.setProgram(program);
        Server.setArguments(args);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        for (const QString& kv : PathEnv())
            env.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
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
    const RunResult r = Run(QStringLiteral(GD_CLIENT_EXE), args, 120000, PathEnv());
    return {r.exitCode, r.out.trimmed()};
}

Outcome RawClient(const QByteArray& ctl, const QByteArray& command, int waitSeconds) {
    const RunResult r = Run("bash",
                            RawArgs(QStringLiteral(GD_CLIENT_EXE),
                                    {ctl, command, "--wait", QByteArray::number(waitSeconds)}),
                            120000, PathEnv());
    return {r.exitCode, r.out.trimmed()};
}

QByteArray ReadRaw(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const QByteArray data = gd::ReadToEnd(fd).value_or(QByteArray());
    ::close(fd);
    return data;
}

void WriteRaw(const QByteArray& path, const QByteArray& data) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.constData();
    ASSERT_EQ(::write(fd, data.constData(), data.size()), data.size());
    ::close(fd);
}

// Marks of the file's non-empty lines, in order.
QByteArray Marks(const QByteArray& data) {
    QByteArray marks;
    for (const QByteArray& line : gd::ReadCtlLines(data))
        if (!line.isEmpty())
            marks += line[0];
    return marks;
}
QByteArray Marks(const QString& ctl) {
    return Marks(ReadFile(ctl));
}

QByteArray Line(const QByteArray& tag, const QByteArray& command = "TEST=", char mark = '>') {
    return mark + tag.leftJustified(gd::kClientChars, '.', true) + command;
}

// Every end-to-end case of the server runs on both paths.
class Protocol : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { gPoll = GetParam(); }
    void TearDown() override { gPoll = false; }
};
INSTANTIATE_TEST_SUITE_P(Paths, Protocol, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Polling" : "Events"; });

} // namespace

TEST_P(Protocol, ClientBoundServesTestDeleteRefusalsAndExit) {
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
    QStringList files = QDir(s.Dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    files.removeIf([](const QString& f) { return f.endsWith(".so"); }); // the program's libraries
    EXPECT_EQ(files.size(), 4) << files.join(' ').toStdString();        // gdserver, ini, ctl, x.tif

    // EXIT and a request behind it in one write: EXIT "<", the other back to ">".
    const QByteArray tail =
        ">" + QByteArray(34, 'e') + "EXIT=\r\n>" + QByteArray(34, 'f') + "TEST=\r\n";
    WriteFile(ctl, ReadFile(ctl) + tail);
    ASSERT_TRUE(s.Server.waitForFinished(30000));
    EXPECT_EQ(s.Server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(s.Server.exitCode(), 0);
    EXPECT_EQ(Marks(ctl), "<<#<#<>");
}

TEST_P(Protocol, ControlFileDeletedByItsClientSwitchesTheServerOff) {
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

TEST_P(Protocol, FolderModeServesEveryDdeFileInRotationAndRefusesDelete) {
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

// Clients that append without a lock, each line one write(2) with O_APPEND as a
// shell's ">>" does, racing the server's marking: no line is lost, every one
// is served.
TEST_P(Protocol, UnlockedAppendersLoseNoLineAndEveryLineIsMarked) {
    constexpr int kWriters = 20;
    constexpr int kLines = 50;
    Served s;
    const QString ctl = s.Dir.filePath("client.ctl");
    WriteFile(ctl, "");
    ASSERT_TRUE(s.Start({s.Docs, ctl}));
    ASSERT_EQ(Client(ctl, "TEST=", 60).Code, 0);

    // Everything a child needs is made before the fork: a child only writes.
    const QByteArray file = QFile::encodeName(ctl);
    std::vector<QByteArray> lines;
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kLines; ++i)
            lines.push_back(Line("w" + QByteArray::number(w) + "." + QByteArray::number(i)) +
                            "\r\n");
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kLines; ++i) {
                const QByteArray& line = lines[w * kLines + i];
                const int fd = ::open(file.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
                if (fd < 0 || ::write(fd, line.constData(), line.size()) != line.size())
                    ::_exit(1);
                ::close(fd);
                ::usleep(10000); // spread over several cycles
            }
            ::_exit(0);
        }
        ASSERT_GT(pid, 0);
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto served = [&] {
        const QByteArray marks = Marks(ctl);
        return !marks.contains('>') && !marks.contains('*');
    };
    EXPECT_TRUE(WaitFor(served, 60000)) << Marks(ctl).constData();
    QSet<QByteArray> present, marked;
    for (const QByteArray& line : gd::ReadCtlLines(ReadFile(ctl))) {
        present.insert(line.mid(1));
        if (line.startsWith('<'))
            marked.insert(line.mid(1));
    }
    int lost = 0, unmarked = 0;
    for (const QByteArray& line : lines) {
        const QByteArray body = line.mid(1).chopped(2);
        lost += !present.contains(body);
        unmarked += !marked.contains(body);
    }
    EXPECT_EQ(lost, 0) << "of " << lines.size() << "\n" << ReadFile(ctl).left(300).constData();
    EXPECT_EQ(unmarked, 0) << "of " << lines.size();
}

// A full file system: the marks go in place, no block is needed, and every
// kind of line end stays as the client wrote it.
TEST_P(Protocol, FullFileSystemStillGetsMarksAndLineEndsStay) {
    Tmpfs fs(256);
    if (!fs.Mounted())
        GTEST_SKIP() << fs.Error().toStdString();
    Served s;
    struct Case {
        const char* Name;
        QByteArray Break;
        QByteArray Text;
    };
    std::vector<Case> cases = {
        {"lf.dde", "\n", {}}, {"cr.dde", "\r", {}}, {"crlf.dde", "\r\n", {}}};
    for (Case& c : cases) {
        // Just under a block, so that a rewrite with CR LF would need another.
        c.Text = Line(c.Name) + c.Break;
        while (c.Text.size() < 4096 - 100)
            c.Text += "free text between the requests" + c.Break;
        c.Text += Line(QByteArray(c.Name) + "-last") + c.Break;
        WriteFile(fs.Path(c.Name), c.Text);
    }
    fs.Fill();
    ASSERT_TRUE(s.Start({fs.Path("")}));
    auto served = [&] {
        for (const Case& c : cases) {
            const QByteArray marks = Marks(fs.Path(c.Name));
            if (marks.contains('>') || marks.contains('*')) // waiting or being carried out
                return false;
        }
        return true;
    };
    EXPECT_TRUE(WaitFor(served, 30000));
    for (const Case& c : cases) {
        QByteArray expected = c.Text;
        expected[0] = '<';
        expected[expected.lastIndexOf('>')] = '<';
        EXPECT_EQ(ReadFile(fs.Path(c.Name)), expected) << c.Name;
    }
    EXPECT_EQ(s.Server.state(), QProcess::Running);
}

// gdclient on a full file system: the request is refused whole, and the file
// stays byte for byte as it was (room for part of the line, or none).
TEST(GdClient, FullFileSystemLeavesTheFileAsItWas) {
    for (const int room : {10, 0}) {
        Tmpfs fs(64);
        if (!fs.Mounted())
            GTEST_SKIP() << fs.Error().toStdString();
        const QString ctl = fs.Path("c.ctl");
        QByteArray old;
        while (old.size() < 4096 - room - 40)
            old += Line("old", "TEST=", '<') + "\r\n";
        old += QByteArray(4096 - room - old.size() - 2, 'x') + "\r\n";
        ASSERT_EQ(old.size(), 4096 - room);
        WriteFile(ctl, old);
        fs.Fill();
        const RunResult r = gdtest::Run(QStringLiteral(GD_CLIENT_EXE), {ctl, "DELETE=A0001"}, 60000,
                                        {"ASAN_OPTIONS=detect_leaks=0"});
        EXPECT_EQ(r.exitCode, 2) << room;
        EXPECT_TRUE(r.err.contains("cannot write")) << r.err.constData();
        EXPECT_EQ(ReadFile(ctl), old) << room;
    }
}

// Folder mode lists and opens only plain files by their exact bytes: links,
// files with other names (hard links) and FIFOs are left alone; names that
// differ in letter case are two files; a name in Windows-1251 bytes is served.
TEST_P(Protocol, FolderModeServesPlainFilesByExactNameOnly) {
    Served s;
    const QString outside = s.Dir.filePath("outside");
    QDir().mkpath(outside);
    const QByteArray victim = QByteArray("keep\0", 5) + Line("v") + "\n";
    const QByteArray hard = Line("h") + "\n";
    WriteFile(outside + "/victim.txt", victim);
    WriteFile(outside + "/hard.txt", hard);
    const QByteArray docs = QFile::encodeName(s.Docs) + '/';
    ASSERT_EQ(::symlink("../outside/victim.txt", docs + "evil.dde"), 0);
    ASSERT_EQ(::link(QFile::encodeName(outside + "/hard.txt").constData(), docs + "hard.dde"), 0);
    ASSERT_EQ(::mkfifo(docs + "pipe.dde", 0600), 0);
    const QList<QByteArray> plain = {"case.dde", "CASE.dde", "\xea\xeb.dde"};
    for (const QByteArray& name : plain)
        WriteRaw(docs + name, Line(name) + "\r\n");
    ASSERT_TRUE(s.Start({s.Docs}));
    // Twice, so that every listed file has had its turn in between.
    for (const QByteArray expected : {"<", "<<"}) {
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const QByteArray& name : plain)
                    if (Marks(ReadRaw(docs + name)) != expected)
                        return false;
                return true;
            },
            30000));
        for (const QByteArray& name : plain) {
            EXPECT_EQ(Marks(ReadRaw(docs + name)), expected) << name.toHex().constData();
            const int fd = ::open(docs + name, O_WRONLY | O_APPEND);
            ASSERT_GE(fd, 0);
            const QByteArray line = Line(name + "2") + "\r\n";
            ASSERT_EQ(::write(fd, line.constData(), line.size()), line.size());
            ::close(fd);
        }
    }
    EXPECT_EQ(ReadFile(outside + "/victim.txt"), victim);
    EXPECT_EQ(ReadFile(outside + "/hard.txt"), hard);
}

// The control file of the command line: only a plain file is taken (anything
// else is a missing file at start-up); a name in Windows-1251 bytes is served.
TEST_P(Protocol, CommandLineControlFileMustBeAPlainFileAndKeepsItsBytes) {
    struct Case {
        const char* What;
        std::function<void(const QByteArray& ctl, const QByteArray& dir)> Make;
    };
    const std::vector<Case> refused = {{"symlink",
                                        [](const QByteArray& ctl, const QByteArray& dir) {
                                            WriteRaw(dir + "/target.txt", "");
                                            ASSERT_EQ(::symlink("target.txt", ctl.constData()), 0);
                                        }},
                                       {"hard link",
                                        [](const QByteArray& ctl, const QByteArray& dir) {
                                            WriteRaw(dir + "/other.txt", "");
                                            ASSERT_EQ(::link(dir + "/other.txt", ctl.constData()),
                                                      0);
                                        }},
                                       {"fifo", [](const QByteArray& ctl, const QByteArray&) {
                                            ASSERT_EQ(::mkfifo(ctl.constData(), 0600), 0);
                                        }}};
    for (const Case& c : refused) {
        Served s;
        const QByteArray dir = QFile::encodeName(s.Dir.path());
        const QByteArray ctl = dir + "/c.ctl";
        c.Make(ctl, dir);
        const RunResult r =
            gdtest::Run(CopyServerBinary(s.Dir.path()), {s.Docs, QFile::decodeName(ctl)}, 20000,
                        {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"});
        EXPECT_EQ(r.exitCode, 1) << c.What;
        EXPECT_TRUE(QString::fromUtf8(r.err).contains(QStringLiteral("Не найден файл")))
            << c.What << ": " << r.err.constData();
    }

    Served s;
    const QByteArray ctl = QFile::encodeName(s.Dir.path()) + "/\xea\xeb.ctl";
    WriteRaw(ctl, "");
    ASSERT_TRUE(s.StartRaw({QFile::encodeName(s.Docs), ctl}));
    const Outcome o = RawClient(ctl, "TEST=", 60);
    EXPECT_EQ(o.Code, 0) << s.Server.readAllStandardError().constData();
    EXPECT_EQ(o.Mark, "<");
    EXPECT_EQ(Marks(ReadRaw(ctl)), "<");
}
