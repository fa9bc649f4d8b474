// Control-file grammar, marks and access on real files.
#include "server/CtlFile.h"
#include "ProtocolSupport.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace gd;
using namespace gdtest;

namespace {

QList<QByteArray> Lines(std::initializer_list<const char*> l) {
    QList<QByteArray> out;
    for (const char* s : l)
        out.append(s);
    return out;
}

ino_t Inode(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_ino;
}

} // namespace

TEST(CtlLines, EveryLineBreakKindEndsALineAndTheLastLineNeedsNone) {
    EXPECT_EQ(ReadCtlLines("a\r\nb\rc\nd"), Lines({"a", "b", "c", "d"}));
    EXPECT_EQ(ReadCtlLines("a\r\n"), Lines({"a"}));
    EXPECT_EQ(ReadCtlLines("\n\r\n\r"), Lines({"", "", ""}));
    EXPECT_EQ(ReadCtlLines("\n\r"), Lines({"", ""})); // LF then a lone CR: not one break
    EXPECT_TRUE(ReadCtlLines("").isEmpty());
    EXPECT_EQ(ReadCtlLines("\xC0\xFF\x01"), Lines({"\xC0\xFF\x01"})); // bytes as they are
    QList<qint64> offsets;
    EXPECT_EQ(ReadCtlLines("a\r\nb\rc\n\nd", &offsets), Lines({"a", "b", "c", "", "d"}));
    EXPECT_EQ(offsets, (QList<qint64>{0, 3, 5, 7, 8}));
}

TEST(FileNames, EveryByteStringSurvivesTheRoundTrip) {
    // Windows-1251, a UTF-8 surrogate, an overlong "/", a cut sequence, and
    // valid UTF-8 of every length.
    for (const QByteArray& name :
         {QByteArray("\xea\xeb.dde"), QByteArray("\xed\xa0\x80"), QByteArray("\xc0\xaf"),
          QByteArray("a\xf0\x90\x80"), QByteArray("\xf0\x90\x80\x80\xea"),
          QByteArray("\xf4\x90\x80\x80"), QByteArray("x\xff\xfe")})
        EXPECT_EQ(EncodeFileName(DecodeFileName(name)), name) << name.toHex().constData();
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            const QByteArray two{char(a), char(b)};
            ASSERT_EQ(EncodeFileName(DecodeFileName(two)), two) << a << " " << b;
        }
    const QString valid = QStringLiteral("Счёт €5 \U0001F600.dde");
    EXPECT_EQ(DecodeFileName(valid.toUtf8()), valid);
    EXPECT_EQ(EncodeFileName(valid), valid.toUtf8());
}

TEST(Grammar, ItemsAreCutAtSemicolonsKeepingEmptyOnesButNotATrailingOne) {
    EXPECT_EQ(SplitCommand(Request("PRINT=A;COPIES=3;")), Lines({"PRINT=A", "COPIES=3"}));
    EXPECT_EQ(SplitCommand(Request("PRINT=A;;COPIES=3")), Lines({"PRINT=A", "", "COPIES=3"}));
    EXPECT_EQ(SplitCommand(Request(";;")), Lines({"", ""}));
    EXPECT_EQ(SplitCommand(Request("")), Lines({""}));
    EXPECT_EQ(SplitCommand(">short"), Lines({""}));
    EXPECT_EQ(SplitCommand(""), Lines({""}));
    EXPECT_EQ(SplitCommand(Request(" TEST = x ")), Lines({" TEST = x "})); // blanks stay
}

TEST(Grammar, TheValueIsAllAfterTheFirstEqualsSign) {
    EXPECT_EQ(ItemValue("DELETE=a=b"), QByteArray("a=b"));
    EXPECT_EQ(ItemValue("DELETE"), QByteArray());
}

TEST(Grammar, ParametersAreFoundByNameIgnoringCaseFirstOneWins) {
    const auto items = SplitCommand(Request("PRINT=A;;copies=3;COPIES=5"));
    EXPECT_EQ(ParamValue(items, "COPIES"), QByteArray("3"));
    EXPECT_EQ(ParamValue(SplitCommand(Request("PRINT=A")), "COPIES"), QByteArray());
    // The keyword item is not a parameter.
    EXPECT_EQ(ParamValue(SplitCommand(Request("COPIES=2")), "COPIES"), QByteArray());
}

TEST(CodePage, LettersFoldAndTextRoundTrips) {
    EXPECT_EQ(FoldCase("ABC xyz"), QByteArray("abc xyz"));
    EXPECT_EQ(FoldCase("\xC0\xDF\xA8\xAA\xB2\x80"), QByteArray("\xE0\xFF\xB8\xBA\xB3\x90"));
    EXPECT_EQ(FoldCase("\xB9\x98\xA0"), QByteArray("\xB9\x98\xA0")); // No-sign etc. unchanged
    const QString text = QStringLiteral("Счёт №5 «Ґ»");
    const auto bytes = ToCp1251(text);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, QByteArray("\xD1\xF7\xB8\xF2 \xB9\x35 \xAB\xA5\xBB"));
    EXPECT_EQ(FromCp1251(*bytes), text);
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, char(b));
        EXPECT_EQ(ToCp1251(FromCp1251(one)), one) << b;
    }
    EXPECT_FALSE(ToCp1251(QStringLiteral("日本")));
}

TEST(Marks, TakingMarksOnlyWaitingLines) {
    QList<QByteArray> lines = {Request("TEST="),     "", "<done", "#x", "*y",
                               Request("TEST", "b"), ">"};
    const TMarkList taken = TakeLines(lines);
    ASSERT_EQ(taken.size(), 3);
    EXPECT_EQ(taken[0].Line, Request("TEST=", "id", '*'));
    EXPECT_EQ(taken[0].Mark, '#');
    EXPECT_EQ(taken[2].Line, QByteArray("*"));
    EXPECT_EQ(lines, (QList<QByteArray>{Request("TEST=", "id", '*'), "", "<done", "#x", "*y",
                                        Request("TEST", "b", '*'), "*"}));
}

TEST(Marks, IdenticalLinesAreMarkedFirstThenSecond) {
    QList<QByteArray> lines = {Request("TEST="), Request("TEST=")};
    TMarkList taken = TakeLines(lines);
    taken[0].Mark = '<';
    taken[1].Mark = '#';
    EXPECT_EQ(ApplyMarks(lines, taken), 2);
    EXPECT_EQ(lines, (QList<QByteArray>{Request("TEST=", "id", '<'), Request("TEST=", "id", '#')}));
}

TEST(Marks, LinesAreFoundIgnoringLetterCaseAndGoneLinesAreSkipped) {
    QList<QByteArray> lines = {Request("SHOW=\xD1\xF7\xE5\xF2", "AbC", '*'), "other"};
    const TMarkList marks = {{Request("show=\xF1\xF7\xC5\xD2", "aBc", '*'), '<'},
                             {Request("TEST=", "gone", '*'), '<'}};
    EXPECT_EQ(ApplyMarks(lines, marks), 1);
    EXPECT_EQ(lines[0], Request("SHOW=\xD1\xF7\xE5\xF2", "AbC", '<'));
    EXPECT_EQ(lines[1], QByteArray("other"));
}

TEST(Marks, ManyLinesStayCheap) {
    // A quadratic search would take minutes under the sanitizers here.
    QList<QByteArray> lines;
    for (int i = 0; i < 50000; ++i)
        lines.append(Request("TEST=", QByteArray::number(i % 7)));
    TMarkList taken = TakeLines(lines);
    for (auto& p : taken)
        p.Mark = '<';
    EXPECT_EQ(ApplyMarks(lines, taken), 50000);
    EXPECT_TRUE(std::all_of(lines.begin(), lines.end(), [](auto& l) { return l[0] == '<'; }));
}

// Marks go in place, one byte each: line ends stay, and what a client appends
// meanwhile (without a lock) stays after them.
TEST(CtlStream, OnlyChangedMarkBytesAreWrittenInPlace) {
    for (const QByteArray br : {"\n", "\r", "\r\n"}) {
        QTemporaryDir dir;
        const QString path = dir.filePath("c.ctl");
        const QByteArray text =
            Request("TEST=") + br + "plain" + br + br + "<done" + br + Request("X=", "2");
        WriteFile(path, text);
        const ino_t before = Inode(path);
        TCtlStream s;
        QList<QByteArray> lines;
        ASSERT_TRUE(s.TryOpen(path, lines));
        ASSERT_EQ(lines.size(), 5);
        lines[0][0] = '<';
        lines[4][0] = '#';
        QFile appender(path);
        ASSERT_TRUE(appender.open(QIODevice::Append));
        appender.write(br + "appended");
        appender.close();
        s.SaveMarks(lines);
        EXPECT_FALSE(s.IsOpen());
        QByteArray expected = text + br + "appended";
        expected[0] = '<';
        expected[text.lastIndexOf('>')] = '#';
        EXPECT_EQ(ReadFile(path), expected) << br.toHex().constData();
        EXPECT_EQ(Inode(path), before);
    }
}

// Only a regular file with a single name is opened: a link, a hard-linked
// file, a FIFO or a folder is left alone, and so is the file behind it.
TEST(CtlStream, OnlyPlainFilesAreOpened) {
    QTemporaryDir dir;
    const QString target = dir.filePath("target.txt");
    const QByteArray kept = QByteArray("keep\0", 5) + Request("TEST=") + "\n";
    WriteFile(target, kept);
    const QByteArray d = QFile::encodeName(dir.path());
    ASSERT_EQ(::symlink("target.txt", d + "/link.ctl"), 0);
    ASSERT_EQ(::link(d + "/target.txt", d + "/hard.ctl"), 0);
    ASSERT_EQ(::mkfifo(d + "/fifo.ctl", 0600), 0);
    ASSERT_EQ(::mkdir(d + "/folder.ctl", 0700), 0);
    for (const char* name : {"link.ctl", "hard.ctl", "fifo.ctl", "folder.ctl", "missing.ctl"}) {
        TCtlStream s;
        QList<QByteArray> lines;
        EXPECT_FALSE(s.TryOpen(dir.filePath(name), lines)) << name;
        EXPECT_FALSE(s.IsOpen());
        EXPECT_FALSE(IsPlainFile(dir.filePath(name))) << name;
    }
    EXPECT_EQ(ReadFile(target), kept);
    EXPECT_TRUE(PathExists(dir.filePath("link.ctl")));
    EXPECT_FALSE(PathExists(dir.filePath("missing.ctl")));
    // A name that is no UTF-8 is opened by its own bytes.
    WriteFile(dir.filePath("one.ctl"), Request("TEST=") + "\r\n");
    ASSERT_EQ(::rename(d + "/one.ctl", d + "/\xea\xeb.ctl"), 0);
    TCtlStream s;
    QList<QByteArray> lines;
    EXPECT_TRUE(s.TryOpen(DecodeFileName(d + "/\xea\xeb.ctl"), lines));
    EXPECT_EQ(lines, Lines({Request("TEST=")}));
}

TEST(CtlStream, ZeroByteEmptiesTheFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.ctl");
    WriteFile(path, Request("TEST=") + "\r\n" + QByteArray("ab\0cd\r\n", 7));
    TCtlStream s;
    QList<QByteArray> lines{"stale"};
    ASSERT_TRUE(s.TryOpen(path, lines));
    EXPECT_TRUE(lines.isEmpty());
    s.Close();
    EXPECT_EQ(QFileInfo(path).size(), 0);
}

TEST(CtlStream, ExclusiveFlockOfAnotherProcessMakesAnAttemptFail) {
    QTemporaryDir dir;
    const QString path = dir.filePath("c.ctl");
    WriteFile(path, Request("TEST=") + "\r\n");
    QList<QByteArray> lines;
    TCtlStream s;
    {
        LockHolder holder(path);
        EXPECT_FALSE(s.TryOpen(path, lines));
        EXPECT_FALSE(s.IsOpen());
    }
    EXPECT_TRUE(s.TryOpen(path, lines));
    EXPECT_EQ(lines.size(), 1);
    EXPECT_FALSE(s.TryOpen(dir.path(), lines)); // a folder is no control file
    EXPECT_FALSE(s.TryOpen(dir.filePath("missing"), lines));
}
