// The watch over the documents folder with an injected clock and folder.
#include "server/Watcher.h"
#include "server/CtlFile.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace gd;
using namespace gdtest;

namespace {

// The folder as a test wants it: names with their stamps; the files
// themselves exist for real, so existence and deletion are the system's.
struct World {
    QTemporaryDir Dir;
    QString Folder = Dir.path() + u'/';
    QMap<QString, std::int32_t> Stamps;
    std::uint32_t Now = 1000;
    int Scans = 0;
    TCtlWatcher Watcher{[this](const QString&) {
                            ++Scans;
                            QList<TFoundFile> found;
                            for (auto it = Stamps.begin(); it != Stamps.end(); ++it)
                                if (QFileInfo::exists(Folder + it.key()))
                                    found.append({it.key(), it.value()});
                            return found;
                        },
                        [this] { return Now; }};

    void Put(const QString& name, std::int32_t stamp = 1) {
        WriteFile(Folder + name, "x");
        Stamps[name] = stamp;
    }
    QString Next() { return QFileInfo(Watcher.NextCtlFile(Folder)).fileName(); }
};

void SetMtime(const QString& path, time_t t) {
    utimbuf times{t, t};
    ::utime(QFile::encodeName(path).constData(), &times);
}

} // namespace

TEST(Watcher, FilesAreServedInRotationInOrderOfDiscovery) {
    World w;
    w.Put("a.dde");
    w.Put("b.dde");
    w.Put("c.dde");
    QStringList served;
    for (int i = 0; i < 7; ++i)
        served << w.Next();
    EXPECT_EQ(served, QStringList({"a.dde", "b.dde", "c.dde", "a.dde", "b.dde", "c.dde", "a.dde"}));
}

TEST(Watcher, FirstCycleScansThenEveryEleventhAndNewFilesWaitForTheScan) {
    World w;
    w.Put("a.dde");
    EXPECT_EQ(w.Next(), "a.dde");
    EXPECT_EQ(w.Scans, 1);
    w.Put("b.dde");
    for (int cycle = 2; cycle <= 11; ++cycle)
        EXPECT_EQ(w.Next(), "a.dde") << cycle; // b not seen before the next scan
    EXPECT_EQ(w.Scans, 1);
    EXPECT_EQ(w.Next(), "a.dde"); // cycle 12 scans, b is appended behind a
    EXPECT_EQ(w.Scans, 2);
    EXPECT_EQ(w.Next(), "b.dde");
    for (int cycle = 14; cycle <= 23; ++cycle)
        w.Next();
    EXPECT_EQ(w.Scans, 3);
}

TEST(Watcher, VanishedFileLeavesTheListAndAnEmptyFolderGivesNoFile) {
    World w;
    w.Put("a.dde");
    w.Put("b.dde");
    EXPECT_EQ(w.Next(), "a.dde");
    QFile::remove(w.Folder + "b.dde");
    EXPECT_EQ(w.Next(), "a.dde");
    EXPECT_EQ(w.Watcher.SeenFiles().size(), 1);
    QFile::remove(w.Folder + "a.dde");
    EXPECT_EQ(w.Watcher.NextCtlFile(w.Folder), QString());
    EXPECT_TRUE(w.Watcher.SeenFiles().isEmpty());
}

TEST(Watcher, StaleFileIsDeletedAfterMoreThanTenMinutesUnchanged) {
    World w;
    w.Put("a.dde", 7);
    w.Put("b.dde", 7);
    w.Watcher.ScanCtlFolder(w.Folder);
    w.Stamps["b.dde"] = 8; // b changes at the second scan
    w.Now += 300000;
    w.Watcher.ScanCtlFolder(w.Folder);
    w.Now += 300000; // a: exactly 600000 ms
    w.Watcher.ScanCtlFolder(w.Folder);
    EXPECT_TRUE(QFileInfo::exists(w.Folder + "a.dde"));
    w.Now += 1; // a: 600001 ms, b: 300001 ms
    w.Watcher.ScanCtlFolder(w.Folder);
    EXPECT_FALSE(QFileInfo::exists(w.Folder + "a.dde"));
    EXPECT_TRUE(QFileInfo::exists(w.Folder + "b.dde"));
    EXPECT_EQ(w.Watcher.SeenFiles().size(), 2); // a leaves at its turn
    EXPECT_EQ(w.Next(), "b.dde");
    EXPECT_EQ(w.Watcher.SeenFiles().size(), 1);
}

TEST(Watcher, AgesSurviveTheTickCounterWrappingAround) {
    World w;
    w.Now = 0xFFFFFF00u;
    w.Put("a.dde");
    w.Watcher.ScanCtlFolder(w.Folder);
    w.Now += 600000; // wraps past zero
    ASSERT_LT(w.Now, 0xFFFFFF00u);
    w.Watcher.ScanCtlFolder(w.Folder);
    EXPECT_TRUE(QFileInfo::exists(w.Folder + "a.dde"));
    w.Now += 1;
    w.Watcher.ScanCtlFolder(w.Folder);
    EXPECT_FALSE(QFileInfo::exists(w.Folder + "a.dde"));
}

TEST(Watcher, NamesDifferingInLetterCaseAreTwoFilesBothServedAndAged) {
    World w;
    w.Put("case.dde", 1);
    w.Put("CASE.dde", 1);
    EXPECT_EQ(QStringList({w.Next(), w.Next(), w.Next()}),
              QStringList({"CASE.dde", "case.dde", "CASE.dde"}));
    w.Now += 600001;
    w.Watcher.ScanCtlFolder(w.Folder);
    EXPECT_FALSE(QFileInfo::exists(w.Folder + "case.dde"));
    EXPECT_FALSE(QFileInfo::exists(w.Folder + "CASE.dde"));
}

TEST(FolderSearch, FindsPlainDdeFilesInAnyCaseByTheirBytesOnly) {
    QTemporaryDir dir;
    for (const char* name :
         {"a.dde", "X.DDE", "m.DdE", ".hidden.dde", "a.dde.txt", "a.ddee", "ndde", "target"})
        WriteFile(dir.filePath(name), "x");
    const QByteArray d = QFile::encodeName(dir.path()) + '/';
    WriteFile(dir.filePath("w"), "x");
    ASSERT_EQ(::rename(d + "w", d + "\xea\xeb.dde"), 0);
    QDir(dir.path()).mkdir("folder.dde");
    ASSERT_EQ(::symlink("target", d + "link.dde"), 0);
    ASSERT_EQ(::symlink("missing", d + "dangling.dde"), 0);
    ASSERT_EQ(::link(d + "target", d + "hard.dde"), 0);
    ASSERT_EQ(::mkfifo(d + "fifo.dde", 0600), 0);
    QList<QByteArray> names;
    for (const TFoundFile& f : ListCtlFiles(dir.path()))
        names << EncodeFileName(f.Name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (QList<QByteArray>{"X.DDE", "a.dde", "m.DdE", "\xea\xeb.dde"}));
    EXPECT_TRUE(ListCtlFiles(dir.filePath("missing")).isEmpty());

    // Such a name is served, and aged out, by its own bytes.
    std::uint32_t now = 5;
    TCtlWatcher w(ListCtlFiles, [&] { return now; });
    const QString folder = dir.path() + u'/';
    QStringList served;
    for (int i = 0; i < 4; ++i)
        served << QFileInfo(w.NextCtlFile(folder)).fileName();
    EXPECT_TRUE(served.contains(DecodeFileName("\xea\xeb.dde")));
    now += 600001;
    w.ScanCtlFolder(folder);
    EXPECT_FALSE(PathExists(DecodeFileName(d + "\xea\xeb.dde")));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("target"))); // behind the links: kept
    EXPECT_TRUE(PathExists(dir.filePath("link.dde")));
}

TEST(FolderSearch, StampIsPackedLocalTimeWithTwoSecondResolution) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 15;
    tm.tm_hour = 13;
    tm.tm_min = 45;
    tm.tm_sec = 30;
    tm.tm_isdst = -1;
    const time_t t = std::mktime(&tm);
    const std::uint32_t expected = (44u << 9 | 3u << 5 | 15u) << 16 | (13u << 11 | 45u << 5 | 15u);
    EXPECT_EQ(static_cast<std::uint32_t>(PackFatTime(t)), expected);
    EXPECT_EQ(PackFatTime(t + 1), PackFatTime(t));
    EXPECT_NE(PackFatTime(t + 2), PackFatTime(t));

    // Two writes within one stamp interval count as no change: the file ages.
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    WriteFile(folder + "a.dde", "1");
    SetMtime(folder + "a.dde", t);
    std::uint32_t now = 5;
    TCtlWatcher w(ListCtlFiles, [&] { return now; });
    w.ScanCtlFolder(folder);
    WriteFile(folder + "a.dde", "2");
    SetMtime(folder + "a.dde", t + 1);
    now += 600001;
    w.ScanCtlFolder(folder);
    EXPECT_FALSE(QFileInfo::exists(folder + "a.dde"));

    // A write in the next interval renews it.
    WriteFile(folder + "b.dde", "1");
    SetMtime(folder + "b.dde", t);
    w.ScanCtlFolder(folder);
    SetMtime(folder + "b.dde", t + 2);
    now += 600001;
    w.ScanCtlFolder(folder);
    EXPECT_TRUE(QFileInfo::exists(folder + "b.dde"));
}

// The list kept from change events matches a fresh listing after every kind
// of change: created, written, renamed in and out, deleted, turned into a link.
TEST(KeptList, FollowsEveryChangeAsAListingWould) {
    QTemporaryDir dir;
    const QString folder = dir.path() + u'/';
    const QByteArray d = QFile::encodeName(folder);
    WriteFile(folder + "a.dde", "x");
    TKeptCtlList kept;
    TFolderEvents events(folder);
    ASSERT_TRUE(events.Valid());
    const std::vector<std::function<void()>> changes = {
        [&] { WriteFile(folder + "b.dde", "x"); },
        [&] { SetMtime(folder + "a.dde", 100000000); },
        [&] { ::rename(d + "b.dde", d + "c.DDE"); },
        [&] { ::rename(d + "c.DDE", d + "c.txt"); },
        [&] { ::rename(d + "c.txt", d + "\xea\xeb.dde"); },
        [&] { ::link(d + "a.dde", d + "second"); },
        [&] { ::unlink(d + "second"); },
        [&] { ::unlink(d + "a.dde"); },
        [&] { ::symlink("\xea\xeb.dde", d + "a.dde"); },
        [&] { WriteFile(folder + ".hidden.dde", "x"); },
    };
    auto names = [](const QList<TFoundFile>& files) {
        QStringList out;
        for (const TFoundFile& f : files)
            out << f.Name + u' ' + QString::number(f.Stamp);
        out.sort();
        return out;
    };
    EXPECT_EQ(names(kept.List(folder)), names(ListCtlFiles(folder)));
    for (size_t i = 0; i < changes.size(); ++i) {
        changes[i]();
        bool overflow = false;
        for (const QByteArray& name : events.Read(overflow))
            kept.Changed(name);
        ASSERT_FALSE(overflow);
        EXPECT_EQ(names(kept.List(folder)), names(ListCtlFiles(folder))) << i;
    }
}
