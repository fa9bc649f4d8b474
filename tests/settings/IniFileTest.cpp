#include "settings/IniFile.h"
#include "common/Exception.h"
#include "common/IntText.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace gd;
using gdtest::ReadFile;
using gdtest::WriteFile;

TEST(IntText, PlatformIntegerRules) {
    EXPECT_EQ(ParseInt(QByteArray("0")), 0);
    EXPECT_EQ(ParseInt(QByteArray("  42")), 42);
    EXPECT_EQ(ParseInt(QByteArray("-7")), -7);
    EXPECT_EQ(ParseInt(QByteArray("+7")), 7);
    EXPECT_EQ(ParseInt(QByteArray("$200")), 512);
    EXPECT_EQ(ParseInt(QByteArray("0x200")), 512);
    EXPECT_EQ(ParseInt(QByteArray("0X1f")), 31);
    EXPECT_EQ(ParseInt(QByteArray("$FFFFFFFF")), -1);
    EXPECT_EQ(ParseInt(QByteArray("2147483647")), 2147483647);
    EXPECT_EQ(ParseInt(QByteArray("-2147483648")), -2147483647 - 1);
    for (const char* bad :
         {"", " ", "abc", "yes", "12 ", "1.5", "0x", "$", "2147483648", "$100000000", "1e3", "--1"})
        EXPECT_FALSE(ParseInt(QByteArray(bad)).has_value()) << bad;
}

class IniFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("gdserver.ini")); }
};

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesDefault) {
    IniFile ini(path());
    EXPECT_EQ(ini.ReadString("Setup", "PathIMG", "def"), "def");
    WriteFile(path(), "[Other]\nPathIMG=x\n");
    EXPECT_EQ(ini.ReadString("Setup", "PathIMG", "def"), "def");
    EXPECT_EQ(ini.ReadString("Other", "Missing", "d2"), "d2");
    EXPECT_EQ(ini.ReadString("other", "pathimg", ""), "x");
}

TEST_F(IniFileTest, WritesKeepEveryOtherByte) {
    const QByteArray before = "; comment\r\n[Other]\r\nKey = odd  spacing \r\n\r\n"
                              "[SETUP]\r\nPATHIMG=/old/\r\nUnknown=\"kept\"\r\n\r\n[Tail]\r\nx=1";
    WriteFile(path(), before);
    IniFile ini(path());
    ini.WriteString("Setup", "PathIMG", "/new/");
    ini.WriteString("setup", "DefFileExt", "bmp");
    const QByteArray after = ReadFile(path());
    EXPECT_EQ(after, "; comment\r\n[Other]\r\nKey = odd  spacing \r\n\r\n"
                     "[SETUP]\r\nPathIMG=/new/\r\nUnknown=\"kept\"\r\nDefFileExt=bmp\r\n\r\n"
                     "[Tail]\r\nx=1");
    EXPECT_EQ(ini.ReadString("Other", "key", ""), "odd  spacing");
    EXPECT_EQ(ini.ReadString("Setup", "Unknown", ""), "kept");
}

TEST_F(IniFileTest, CreatesFileAndAppendsSections) {
    IniFile ini(path());
    ini.WriteString("Setup", "PathIMG", "");
    ini.WriteInteger("Layout", "Top", 138);
    EXPECT_EQ(ReadFile(path()), "[Setup]\nPathIMG=\n[Layout]\nTop=138\n");
    EXPECT_EQ(ini.ReadString("Setup", "PathIMG", "d"), "");
    EXPECT_EQ(ini.ReadInteger("Layout", "Top", 0), 138);
}

TEST_F(IniFileTest, ValuesAreCutAt2047Characters) {
    IniFile ini(path());
    ini.WriteString("Setup", "PathIMG", QString(3000, u'a'));
    EXPECT_EQ(ini.ReadString("Setup", "PathIMG", "").size(), 2047);
}

TEST_F(IniFileTest, IntegersAndBooleans) {
    WriteFile(path(), "[L]\nA=$200\nB=0x200\nC=abc\nD=yes\nE=2\nF=0x1\nG=0\n");
    IniFile ini(path());
    EXPECT_EQ(ini.ReadInteger("L", "A", 0), 512);
    EXPECT_EQ(ini.ReadInteger("L", "B", 0), 512);
    EXPECT_EQ(ini.ReadInteger("L", "C", 523), 523);
    EXPECT_FALSE(ini.ReadBool("L", "D", false));
    EXPECT_TRUE(ini.ReadBool("L", "E", false));
    EXPECT_TRUE(ini.ReadBool("L", "F", false));
    EXPECT_FALSE(ini.ReadBool("L", "G", true));
}

// A settings file in a folder its writer may not change (a system install).
// Root ignores folder modes, so as root the writer runs as "nobody".
struct FolderCase {
    const char* what;
    QFile::Permissions folder, file;
    bool written, inPlace;
};

class SettingsFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(SettingsFolder, WrittenBesideOrInPlaceOrReported) {
    const FolderCase& c = GetParam();
    QTemporaryDir dir;
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(dir.path(), open);
    const QString writer = dir.filePath("gd_ini_write");
    ASSERT_TRUE(QFile::copy(GD_INI_WRITE, writer));
    QFile::setPermissions(writer, open);
    const QString folder = dir.filePath("prog"), ini = folder + "/gdserver.ini";
    QDir().mkpath(folder);
    const QByteArray before = "[Setup]\r\nPathIMG=/a/\r\nDefFileExt=bmp\r\n";
    WriteFile(ini, before);
    QFile::setPermissions(ini, c.file);
    QFile::setPermissions(folder, c.folder);
    struct stat old {};
    ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &old), 0);

    QStringList args{ini, "Setup", "PathIMG", "/a/much/longer/folder/"};
    QString program = writer;
    if (::geteuid() == 0) {
        args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", writer} + args;
        program = "setpriv";
    }
    const gdtest::RunResult r = gdtest::Run(program, args, 60000, {"ASAN_OPTIONS=detect_leaks=0"});
    QFile::setPermissions(folder, open);

    struct stat now {};
    ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &now), 0);
    if (c.written) {
        EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        EXPECT_EQ(ReadFile(ini), "[Setup]\r\nPathIMG=/a/much/longer/folder/\r\nDefFileExt=bmp\r\n");
        EXPECT_EQ(now.st_ino == old.st_ino, c.inPlace);
    } else {
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(QString::fromUtf8(r.err.trimmed()), "Unable to write to " + ini);
        EXPECT_EQ(ReadFile(ini), before);
    }
}

constexpr auto kReadOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
constexpr auto kReadWrite = kReadOnly | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
constexpr auto kFolderOpen = kReadWrite | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
constexpr auto kFolderShut = kReadOnly | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

INSTANTIATE_TEST_SUITE_P(
    Modes, SettingsFolder,
    ::testing::Values(
        FolderCase{"WritableFolderRenamesOver", kFolderOpen, kReadWrite, true, false},
        FolderCase{"ReadOnlyFolderWritableFileInPlace", kFolderShut, kReadWrite, true, true},
        FolderCase{"ReadOnlyFileReportsInAWritableFolder", kFolderOpen, kReadOnly, false, false},
        FolderCase{"ReadOnlyFileReportsInAReadOnlyFolder", kFolderShut, kReadOnly, false, false}),
    [](const auto& info) { return std::string(info.param.what); });

// Root ignores folder permissions, so an unwritable place is one that is not a
// folder at all: the message and the untouched file are what count.
TEST_F(IniFileTest, UnwritablePlaceReportsThePath) {
    const QString blocker = dir.filePath("notadir");
    WriteFile(blocker, "x");
    const QString p = blocker + "/gdserver.ini";
    IniFile ini(p);
    try {
        ini.WriteString("Setup", "PathIMG", "/b/");
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Unable to write to ") + p);
    }
    EXPECT_EQ(ReadFile(blocker), "x");
}

TEST(SettingsFile, LocationBesideProgramOrInConfigHome) {
    QTemporaryDir dir;
    EXPECT_EQ(SettingsFilePath(dir.filePath("gdserver")), dir.filePath("gdserver.ini"));
    EXPECT_EQ(SettingsFilePath(dir.filePath("prog.bin")), dir.filePath("prog.ini"));
    // A folder that cannot be written, without a settings file.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    EXPECT_EQ(SettingsFilePath(dir.filePath("missing/gdserver")),
              config.filePath("gdserver/gdserver.ini"));
    qunsetenv("XDG_CONFIG_HOME");
}

class SettingsTest : public IniFileTest {};

TEST_F(SettingsTest, FirstRunDefaults) {
    TSettings s(path());
    s.LoadSetup();
    EXPECT_EQ(s.PathIMG(), "");
    EXPECT_EQ(s.GetDefFileExt(), "tif");
    EXPECT_TRUE(s.GetSaveOriginal());
    EXPECT_EQ(s.GetJpegQuality(), 60);
    EXPECT_FALSE(QFile::exists(path()));
    s.SetPathIMG("/docs/");
    EXPECT_EQ(ReadFile(path()), "[Setup]\nPathIMG=/docs/\nDefFileExt=tif\nConvertDefExt=0\n");
}

TEST_F(SettingsTest, ReadingRules) {
    struct Case {
        const char* ext;
        const char* convert;
        const char* wantExt;
        bool wantKeep;
    } cases[] = {
        {"BMP", "0", "bmp", true},   {"jpg", "1", "jpg", false}, {"jpeg", "yes", "tif", true},
        {"tiff", "2", "tif", false}, {"", "0x1", "tif", false},  {"Jpg", "abc", "jpg", true},
    };
    for (const Case& c : cases) {
        WriteFile(path(), QByteArray("[Setup]\nDefFileExt=") + c.ext +
                              "\nConvertDefExt=" + c.convert + "\n");
        TSettings s(path());
        s.LoadSetup();
        EXPECT_EQ(s.GetDefFileExt(), c.wantExt) << c.ext;
        EXPECT_EQ(s.GetSaveOriginal(), c.wantKeep) << c.convert;
    }
}

TEST_F(SettingsTest, BmpIsWrittenBackLowerCaseAndSamePathWritesNothing) {
    WriteFile(path(), "[Setup]\nPathIMG=/Docs/\nDefFileExt=BMP\nConvertDefExt=0\n");
    TSettings s(path());
    s.LoadSetup();
    s.SetPathIMG("/Docs/");
    EXPECT_EQ(ReadFile(path()), "[Setup]\nPathIMG=/Docs/\nDefFileExt=BMP\nConvertDefExt=0\n");
    s.SetPathIMG("/docs/");
    EXPECT_EQ(ReadFile(path()), "[Setup]\nPathIMG=/docs/\nDefFileExt=bmp\nConvertDefExt=0\n");
}
