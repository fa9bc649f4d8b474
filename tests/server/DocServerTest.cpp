// The command cycle on real control files, with a fake window and no real
// waiting unless a test says so.
#include "server/DocServer.h"
#include "ProtocolSupport.h"
#include "common/DocNames.h"
#include "common/Exception.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace gd;
using namespace gdtest;

namespace {

struct Rig {
    QTemporaryDir Dir;
    QString Docs = Dir.path() + QStringLiteral("/docs/");
    QString Ctl = Dir.path() + QStringLiteral("/client.ctl");
    FakeHost Host;
    int Waits = 0;
    std::unique_ptr<TDocServer> Server;

    explicit Rig(bool clientBound = true, bool changeEvents = true) {
        QDir().mkpath(Docs);
        WriteFile(Ctl, "");
        TCommandLine cl{Docs, clientBound ? Ctl : QString(), clientBound};
        TServerSeams seams;
        seams.ChangeEvents = changeEvents;
        seams.Wait = [this](int ms) {
            EXPECT_EQ(ms, 100);
            ++Waits;
        };
        Server = std::make_unique<TDocServer>(
            Host, cl, [] { return QStringLiteral("tif"); }, seams);
        Server->SetServerActive(true);
    }
    // One cycle over the given control-file text; returns the file after it.
    QByteArray Cycle(const QByteArray& text) {
        WriteFile(Ctl, text);
        Server->ExecuteCommands();
        return ReadFile(Ctl);
    }
    QByteArray Cycle() {
        Server->ExecuteCommands();
        return ReadFile(Ctl);
    }
};

QByteArray Crlf(std::initializer_list<QByteArray> lines) {
    QByteArray out;
    for (const auto& l : lines)
        out += l + "\r\n";
    return out;
}

} // namespace

TEST(CommandTable, KeywordNeedsItsEqualsSignAndIgnoresOnlyAsciiCase) {
    auto command = [](const QByteArray& keyword) -> std::optional<TCommand> {
        const TDocServer::TCommandEntry* entry = TDocServer::FindCommand(keyword);
        return entry ? std::optional(entry->Command) : std::nullopt;
    };
    auto first = [&](const QByteArray& text) {
        return command(ItemName(SplitCommand(Request(text)).first()));
    };
    EXPECT_EQ(first("TEST="), TCommand::Test);
    EXPECT_EQ(first("TEST"), std::nullopt);
    EXPECT_EQ(first("print=A"), TCommand::Print);
    EXPECT_EQ(first("PRINT =A"), std::nullopt);
    EXPECT_EQ(first("=A"), std::nullopt);
    EXPECT_EQ(first("eXiT="), TCommand::Exit);
    EXPECT_EQ(first("DELETE=a=b"), TCommand::Delete);
    // Only ASCII letters are upper-cased: a Cyrillic look-alike is no keyword.
    EXPECT_EQ(command("\xD2\xC5\xD1\xD2"), std::nullopt);
}

TEST(Cycle, GrammarEdgeCasesGetTheirMarks) {
    Rig r;
    const QByteArray after =
        r.Cycle(Crlf({Request("TEST="), Request("TEST", "b"), ">short", Request("PRINT =A", "c"),
                      Request("test=x;;y", "d"), "", "<kept", "plain"}));
    EXPECT_EQ(after, Crlf({Request("TEST=", "id", '<'), Request("TEST", "b", '#'), "#short",
                           Request("PRINT =A", "c", '#'), Request("test=x;;y", "d", '<'), "",
                           "<kept", "plain"}));
    EXPECT_TRUE(r.Server->IsActive());
    EXPECT_EQ(r.Host.StateText, TDocServer::kStateActive);
}

TEST(Cycle, LineEndsStayAndIdenticalLinesAreBothServed) {
    Rig r;
    EXPECT_EQ(r.Cycle(Request("TEST=") + "\n" + Request("TEST=") + "\rfree text"),
              Request("TEST=", "id", '<') + "\n" + Request("TEST=", "id", '<') + "\rfree text");
}

TEST(Cycle, NothingWaitingLeavesTheFileUntouched) {
    Rig r;
    const QByteArray text = QByteArray("<done\nfree") + '\r';
    EXPECT_EQ(r.Cycle(text), text);
}

TEST(Cycle, ZeroByteEmptiesTheFile) {
    Rig r;
    EXPECT_EQ(r.Cycle(Request("TEST=") + "\r\n" + QByteArray(1, '\0')), QByteArray());
}

TEST(Cycle, ServerOffDoesNothing) {
    Rig r;
    r.Server->SetServerActive(false);
    EXPECT_EQ(r.Cycle(Request("TEST=")), Request("TEST="));
    EXPECT_EQ(r.Host.StateText, TDocServer::kStateStopped);
    EXPECT_FALSE(r.Host.SwitchChecked);
}

TEST(Cycle, ExitEndsTheLoopPutsLaterRequestsBackAndClosesTheWindow) {
    Rig r;
    EXPECT_EQ(r.Cycle(Crlf({Request("TEST=", "a"), Request("EXIT=", "b"), Request("TEST=", "c"),
                            Request("DELETE=x", "d")})),
              Crlf({Request("TEST=", "a", '<'), Request("EXIT=", "b", '<'),
                    Request("TEST=", "c", '>'), Request("DELETE=x", "d", '>')}));
    EXPECT_EQ(r.Host.Closes, 1);
    r.Cycle(Crlf({Request("TEST=")}));
    EXPECT_EQ(r.Host.Closes, 1); // the request is cleared at each cycle
}

TEST(Cycle, FolderModeRefusesClientBoundCommands) {
    Rig r(false);
    const QString ctl = r.Docs + "a.dde";
    WriteFile(r.Docs + "A.tif", "x");
    WriteFile(ctl, Crlf({Request("DELETE=A"), Request("EXIT=", "b"), Request("TEST=", "c"),
                         Request("SHOW=A", "d"), Request("EDIT=A", "e"), Request("HIDE=", "f")}));
    r.Server->ExecuteCommands();
    EXPECT_EQ(ReadFile(ctl), Crlf({Request("DELETE=A", "id", '#'), Request("EXIT=", "b", '#'),
                                   Request("TEST=", "c", '<'), Request("SHOW=A", "d", '#'),
                                   Request("EDIT=A", "e", '#'), Request("HIDE=", "f", '#')}));
    EXPECT_TRUE(QFileInfo::exists(r.Docs + "A.tif"));
    EXPECT_EQ(r.Host.Closes, 0);
    EXPECT_EQ(r.Host.CtlFileText, ctl);
}

TEST(Cycle, FolderModeWithNoControlFileStaysOn) {
    Rig r(false);
    r.Server->ExecuteCommands();
    EXPECT_TRUE(r.Server->IsActive());
    EXPECT_EQ(r.Host.CtlFileText, QString());
}

TEST(Delete, DeletesTheFirstExistingFormatOnly) {
    Rig r;
    WriteFile(r.Docs + "A.tif", "t");
    WriteFile(r.Docs + "A.bmp", "b");
    EXPECT_EQ(r.Cycle(Crlf({Request("DELETE=A")})), Crlf({Request("DELETE=A", "id", '<')}));
    EXPECT_FALSE(QFileInfo::exists(r.Docs + "A.tif"));
    EXPECT_TRUE(QFileInfo::exists(r.Docs + "A.bmp"));
    EXPECT_EQ(r.Host.DocName, "A");
    r.Server->SetServerActive(false);
    EXPECT_EQ(r.Host.StateText, TDocServer::kStateViewing); // the name stays current
    r.Server->SetServerActive(true);
    EXPECT_EQ(r.Host.DocName, QString());
    EXPECT_EQ(r.Cycle(Crlf({Request("DELETE=A"), Request("DELETE=A", "2")})),
              Crlf({Request("DELETE=A", "id", '<'), Request("DELETE=A", "2", '#')}));
    EXPECT_FALSE(QFileInfo::exists(r.Docs + "A.bmp"));
}

TEST(Delete, BlanksAndCyrillicNamesWork) {
    Rig r;
    WriteFile(r.Docs + QStringLiteral("Счёт 1.jpg"), "j");
    // The clients write Windows-1251.
    EXPECT_EQ(r.Cycle(Crlf({Request("DELETE=\xD1\xF7\xB8\xF2 1")})),
              Crlf({Request("DELETE=\xD1\xF7\xB8\xF2 1", "id", '<')}));
    EXPECT_FALSE(QFileInfo::exists(r.Docs + QStringLiteral("Счёт 1.jpg")));
}

TEST(Delete, UnsafeNamesNeverReachTheFileSystem) {
    Rig r;
    WriteFile(r.Dir.path() + "/x.tif", "outside");
    WriteFile(r.Docs + "sub.tif", "s");
    QDir().mkpath(r.Docs + "sub");
    WriteFile(r.Docs + "sub/y.tif", "inside a subfolder");
    WriteFile(r.Docs + "..tif", "dot-dot");
    WriteFile(r.Docs + ".tif", "dot");
    const QByteArray after = r.Cycle(
        Crlf({Request("DELETE=../x"), Request("DELETE=", "2"), Request("DELETE=.", "3"),
              Request("DELETE=..", "4"), Request("DELETE=sub/y", "5"), Request("DELETE", "6")}));
    EXPECT_EQ(after, Crlf({Request("DELETE=../x", "id", '#'), Request("DELETE=", "2", '#'),
                           Request("DELETE=.", "3", '#'), Request("DELETE=..", "4", '#'),
                           Request("DELETE=sub/y", "5", '#'), Request("DELETE", "6", '#')}));
    for (const char* f :
         {"/x.tif", "/docs/sub.tif", "/docs/sub/y.tif", "/docs/..tif", "/docs/.tif"})
        EXPECT_TRUE(QFileInfo::exists(r.Dir.path() + f)) << f;
    EXPECT_EQ(r.Host.DocName, QString());
    EXPECT_FALSE(IsSafeDocName(QString(QChar(0))));
    EXPECT_TRUE(IsSafeDocName(QStringLiteral("...")));
}

TEST(Edit, EmptyNameIsSetFirstThenRefused) {
    Rig r;
    WriteFile(r.Docs + "A.tif", "t");
    r.Cycle(Crlf({Request("DELETE=A")}));
    ASSERT_EQ(r.Host.DocName, "A");
    EXPECT_EQ(r.Cycle(Crlf({Request("EDIT=")})), Crlf({Request("EDIT=", "id", '#')}));
    EXPECT_EQ(r.Host.DocName, QString());
    EXPECT_EQ(r.Host.Shows, 0);
    EXPECT_TRUE(r.Server->IsActive());
    EXPECT_EQ(r.Server->HeldLine(), QByteArray());
}

TEST(DocFileName, FirstExistingFormatElseTheDefaultExtension) {
    Rig r;
    EXPECT_EQ(DocFileName(r.Docs, "B", "tif"), r.Docs + "B.tif");
    WriteFile(r.Docs + "B.jpg", "j");
    EXPECT_EQ(DocFileName(r.Docs, "B", "tif"), r.Docs + "B.jpg");
    WriteFile(r.Docs + "B.bmp", "b");
    EXPECT_EQ(DocFileName(r.Docs, "B", "tif"), r.Docs + "B.bmp");
    QDir().mkpath(r.Docs + "C.tif"); // a folder is no document
    EXPECT_EQ(DocFileName(r.Docs, "C", "bmp"), r.Docs + "C.bmp");
    WriteFile(r.Docs + "C.jpg", "j");
    EXPECT_EQ(DocFileName(r.Docs.chopped(1), "C", "tif"), r.Docs + "C.jpg");
}

TEST(Failure, VanishedControlFileSwitchesTheServerOff) {
    Rig r;
    QFile::remove(r.Ctl);
    r.Server->ExecuteCommands();
    EXPECT_FALSE(r.Server->IsActive());
    EXPECT_FALSE(r.Host.SwitchChecked);
    EXPECT_EQ(r.Host.StateText, TDocServer::kStateStopped);
    // Re-created, it is not served until the user switches the server on.
    EXPECT_EQ(r.Cycle(Request("TEST=")), Request("TEST="));
    r.Server->SetServerActive(true);
    EXPECT_EQ(r.Cycle(), Request("TEST=", "id", '<'));
}

TEST(Failure, FailingCommandMarksItAndLaterOnesFailedAndSwitchesOffSilently) {
    Rig r;
    r.Host.OnDocName = [] { throw Exception(QStringLiteral("boom")); };
    WriteFile(r.Ctl,
              Crlf({Request("TEST=", "a"), Request("DELETE=A", "b"), Request("TEST=", "c")}));
    for (int tick = 0; tick < 5; ++tick)
        r.Server->TimerCommandTimer();
    EXPECT_EQ(ReadFile(r.Ctl), Crlf({Request("TEST=", "a", '<'), Request("DELETE=A", "b", '#'),
                                     Request("TEST=", "c", '#')}));
    EXPECT_FALSE(r.Server->IsActive());
    EXPECT_EQ(r.Host.Error, QString());
    EXPECT_TRUE(r.Server->TimerActive()); // ticks go on while the server is off
}

// Where nobody can see the window: SHOW and EDIT are refused while serving
// goes on, and where the server switches off to wait for the user the host is
// told why.
TEST(NoUser, ShowAndEditAreRefusedAndEveryStopIsReported) {
    Rig r;
    r.Host.User = false;
    WriteFile(r.Docs + "A.tif", "x");
    EXPECT_EQ(r.Cycle(Crlf({Request("SHOW=A", "a"), Request("EDIT=A", "b"), Request("SHOW=", "c"),
                            Request("TEST=", "d")})),
              Crlf({Request("SHOW=A", "a", '#'), Request("EDIT=A", "b", '#'),
                    Request("SHOW=", "c", '#'), Request("TEST=", "d", '<')}));
    EXPECT_TRUE(r.Server->IsActive());
    EXPECT_EQ(r.Host.UserNeededFor, QStringList());

    const struct {
        std::function<void()> cause;
        QString reason;
    } stops[] = {
        {[&] { r.Host.OnDocName = [] { throw Exception(QStringLiteral("boom")); }; }, "boom"},
        {[&] { QFile::remove(r.Ctl); }, QStringLiteral("Не найден файл \"%1\"").arg(r.Ctl)},
    };
    for (const auto& stop : stops) {
        r.Server->SetServerActive(true);
        WriteFile(r.Ctl, Crlf({Request("DELETE=A")}));
        r.Host.UserNeededFor.clear();
        stop.cause();
        for (int tick = 0; tick < 5; ++tick)
            r.Server->TimerCommandTimer();
        EXPECT_FALSE(r.Server->IsActive());
        EXPECT_EQ(r.Host.UserNeededFor, QStringList{stop.reason});
        r.Host.OnDocName = nullptr;
    }
}

TEST(Timer, ACycleRunsOnEveryFifthTick) {
    Rig r;
    WriteFile(r.Ctl, Request("TEST="));
    for (int tick = 0; tick < 4; ++tick) {
        r.Server->TimerCommandTimer();
        EXPECT_EQ(ReadFile(r.Ctl), Request("TEST=")) << tick;
    }
    r.Server->TimerCommandTimer();
    EXPECT_EQ(ReadFile(r.Ctl), Request("TEST=", "id", '<'));
    WriteFile(r.Ctl, Request("TEST=", "2"));
    for (int tick = 0; tick < 4; ++tick)
        r.Server->TimerCommandTimer();
    EXPECT_EQ(ReadFile(r.Ctl), Request("TEST=", "2"));
    r.Server->TimerCommandTimer();
    EXPECT_EQ(ReadFile(r.Ctl), Request("TEST=", "2", '<'));
}

TEST(Locking, ClientLockSkipsTakingAndMarkingRetriesThenDrops) {
    Rig r;
    WriteFile(r.Ctl, Crlf({Request("TEST=")}));
    {
        LockHolder holder(r.Ctl);
        EXPECT_EQ(r.Cycle(), Crlf({Request("TEST=")})); // nothing taken, no wait
        EXPECT_EQ(r.Waits, 0);
        EXPECT_TRUE(r.Server->IsActive());
        TMarkList marks;
        holder.Release();
        ASSERT_TRUE(r.Server->TakeCommands(marks));
        marks[0].Mark = '<';
        LockHolder again(r.Ctl);
        r.Server->WriteMarks(marks);
        EXPECT_EQ(r.Waits, 100); // about ten seconds, then the marks are lost
        EXPECT_EQ(ReadFile(r.Ctl), Crlf({Request("TEST=", "id", '*')}));
    }
    EXPECT_TRUE(r.Server->IsActive());
}

TEST(Locking, MarkingWaitsInRealTimeUntilTheClientLetsGo) {
    Rig r;
    WriteFile(r.Ctl, Crlf({Request("TEST=")}));
    TMarkList marks;
    ASSERT_TRUE(r.Server->TakeCommands(marks));
    marks[0].Mark = '<';
    auto holder = std::make_unique<LockHolder>(r.Ctl);
    // A real wait that lets the lock go after about a second.
    QElapsedTimer clock;
    clock.start();
    TCommandLine cl{r.Docs, r.Ctl, true};
    TDocServer real(r.Host, cl, {}, {});
    real.SetServerActive(true);
    QTimer::singleShot(1000, [&] { holder->Release(); });
    real.WriteMarks(marks);
    EXPECT_GE(clock.elapsed(), 900);
    EXPECT_LT(clock.elapsed(), 9000);
    EXPECT_EQ(ReadFile(r.Ctl), Crlf({Request("TEST=", "id", '<')}));
}

TEST(Reentry, OpeningAnOpenControlFileFails) {
    Rig r;
    WriteFile(r.Ctl, Crlf({Request("TEST=")}));
    ASSERT_TRUE(r.Server->OpenCtlFile(0));
    EXPECT_THROW(r.Server->OpenCtlFile(0), Exception);
    r.Server->CloseCtlFile();
}

TEST(HeldRequest, EndsWithItsMarkWhenTheServerIsSwitchedOn) {
    Rig r;
    WriteFile(r.Ctl, Crlf({Request("SHOW=A", "id", '*'), Request("TEST=", "b")}));
    r.Server->SetHeldCommand(Request("SHOW=A", "id", '*'), false, false);
    EXPECT_FALSE(r.Server->IsActive());
    EXPECT_EQ(r.Host.Error, QStringLiteral("Не могу открыть Файла риснука"));
    r.Server->SetServerActive(true); // no source: "#"
    EXPECT_EQ(ReadFile(r.Ctl), Crlf({Request("SHOW=A", "id", '#'), Request("TEST=", "b")}));
    EXPECT_EQ(r.Server->HeldLine(), QByteArray());

    r.Server->SetHeldCommand(Request("EDIT=A", "e", '*'), true, false);
    EXPECT_EQ(r.Host.StateText, TDocServer::kStateEditing);
    r.Server->FinishHeldCommand('#'); // the window closes
    EXPECT_EQ(r.Server->HeldLine(), QByteArray());
}

// The event path: a change wakes the server at once (no timer tick here),
// also for a control file replaced by a rename.
TEST(Events, ChangeWakesTheServerAlsoForAFileReplacedByRename) {
    Rig r;
    ASSERT_TRUE(r.Server->EventPath());
    WriteFile(r.Ctl, Crlf({Request("TEST=", "a")}));
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(r.Ctl) == Crlf({Request("TEST=", "a", '<')}); }, 10000));
    const QString fresh = r.Dir.path() + "/fresh";
    WriteFile(fresh, Crlf({Request("TEST=", "b")}));
    ASSERT_TRUE(QFile::rename(fresh, r.Ctl) ||
                (QFile::remove(r.Ctl) && QFile::rename(fresh, r.Ctl)));
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(r.Ctl) == Crlf({Request("TEST=", "b", '<')}); }, 10000));
    EXPECT_FALSE(Rig(true, false).Server->EventPath());
}

// What a cycle reads on the event path: nothing of an unchanged file, the
// tail of one that only grew, all of one rewritten (same size, even with its
// time put back).
TEST(Events, ReadsNothingTheTailOrTheWholeFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.ctl");
    // More than the last block kept, so that a change at the start is not in it.
    QByteArray head = Crlf({Request("TEST=", "a", '<'), Request("TEST=", "b", '#')});
    while (head.size() < 8192)
        head += "free text\r\n";
    WriteFile(path, head);
    TCtlStream s;
    s.SetIncremental([] {});
    QList<QByteArray> lines;
    ASSERT_TRUE(s.TryOpen(path, lines));
    EXPECT_EQ(s.LastReadFrom(), 0);
    s.Close();
    EXPECT_TRUE(s.Unchanged(path));
    ASSERT_TRUE(s.TryOpen(path, lines));
    EXPECT_EQ(s.LastReadFrom(), head.size()); // nothing read
    EXPECT_TRUE(lines.isEmpty());             // no line to take or to find
    s.Close();

    QFile appender(path);
    ASSERT_TRUE(appender.open(QIODevice::Append));
    appender.write(Crlf({Request("TEST=", "c"), "free"}));
    appender.close();
    s.Touched(path);
    EXPECT_FALSE(s.Unchanged(path));
    ASSERT_TRUE(s.TryOpen(path, lines));
    EXPECT_EQ(s.LastReadFrom(), head.size()); // the tail only
    EXPECT_EQ(lines, QList<QByteArray>{Request("TEST=", "c")});
    lines[0][0] = '*';
    s.SaveMarks(lines);
    EXPECT_EQ(ReadFile(path), head + Crlf({Request("TEST=", "c", '*'), "free"}));

    // An editor-style rewrite of the same size that puts a mark back, its
    // time restored.
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    QByteArray edited = ReadFile(path);
    edited[0] = '>';
    WriteFile(path, edited);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    EXPECT_FALSE(s.Unchanged(path)); // the change time gives it away even without an event
    s.Touched(path);
    ASSERT_TRUE(s.TryOpen(path, lines));
    EXPECT_EQ(s.LastReadFrom(), 0);
    EXPECT_EQ(lines[0], Request("TEST=", "a", '>'));
    s.Close();
}

// Folder mode keeps its list from events; when the queue overflows, events
// are lost and the folder is listed again.
TEST(Events, OverflowedWatchListsTheFolderAgain) {
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    int maxEvents = 0;
    limit >> maxEvents;
    if (maxEvents <= 0 || maxEvents > 200000)
        GTEST_SKIP() << "inotify queue limit unknown or too large: " << maxEvents;
    Rig r(false);
    ASSERT_TRUE(r.Server->EventPath());
    WriteFile(r.Docs + "a.dde", "");
    r.Server->ExecuteCommands(); // the first listing
    const QByteArray docs = QFile::encodeName(r.Docs);
    for (int i = 0; i <= maxEvents; ++i) {
        const QByteArray name = docs + "d" + QByteArray::number(i) + ".tif";
        ::close(::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    WriteFile(r.Docs + "late.dde", Crlf({Request("TEST=")}));
    for (int cycle = 0; cycle < 12; ++cycle)
        r.Server->ExecuteCommands();
    EXPECT_EQ(ReadFile(r.Docs + "late.dde"), Crlf({Request("TEST=", "id", '<')}));
}
