// Documents that are symbolic links: PRINT, SHOW and EDIT follow a link only
// to a regular file inside the documents folder; DELETE removes the link.
#include "ProtocolSupport.h"
#include "common/DocNames.h"
#include "server/DocServer.h"
#include "server/PrintCommand.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace gdtest;

namespace {

struct TPrinter : gd::IDocPrinter {
    QStringList printed;
    bool PrinterAvailable() const override { return true; }
    void PrintFile(const QString& path, const QString&, int) override { printed << path; }
};

struct THost : FakeHost {
    TPrinter printer;
    gd::IDocPrinter* DocPrinter() override { return &printer; }
};

struct TLinkCase {
    const char* name;
    const char* target; // none: a regular file; "@" stands for the temporary folder
    bool opened;
};

const TLinkCase kLinks[] = {
    {"Plain", nullptr, true},
    {"In", "A.tif", true},
    {"InByDots", "../docs/A.tif", true},
    {"Chain", "In.tif", true},
    {"Out", "../outside/private.tif", false},
    {"OutByDots", "sub/../../outside/private.tif", false},
    {"Absolute", "@/outside/private.tif", false},
    {"ChainOut", "Out.tif", false},
    {"Dangling", "nothere.tif", false},
    {"Folder", "sub", false},
    {"FolderOut", "../outside", false},
};

// The folder as the command line names it: itself, or a link to it.
class DocLinks : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        const QString root = Dir.path();
        QDir().mkpath(root + QStringLiteral("/docs/sub"));
        QDir().mkpath(root + QStringLiteral("/outside"));
        WriteFile(root + QStringLiteral("/docs/A.tif"), "x");
        WriteFile(root + QStringLiteral("/outside/private.tif"), "secret");
        for (const TLinkCase& c : kLinks) {
            const QString path = root + QStringLiteral("/docs/%1.tif").arg(c.name);
            if (!c.target)
                WriteFile(path, "x");
            else
                ASSERT_TRUE(QFile::link(QString::fromLatin1(c.target).replace(u'@', root), path));
        }
        Docs = root + QStringLiteral("/docs/");
        if (GetParam()) {
            ASSERT_TRUE(QFile::link(root + QStringLiteral("/docs"), root + QStringLiteral("/l")));
            Docs = root + QStringLiteral("/l/");
        }
        Ctl = root + QStringLiteral("/c.ctl");
    }
    // One request in a server of its own; returns its mark.
    char Serve(const QByteArray& command) {
        Host = std::make_unique<THost>();
        gd::TDocServer server(*Host, gd::TCommandLine{Docs, Ctl, true},
                              [] { return QStringLiteral("tif"); });
        server.SetServerActive(true);
        WriteFile(Ctl, Request(command) + "\r\n");
        server.ExecuteCommands();
        DocName = Host->DocName;
        return ReadFile(Ctl).at(0);
    }

    QTemporaryDir Dir;
    QString Docs, Ctl, DocName;
    std::unique_ptr<THost> Host;
};

} // namespace

TEST_P(DocLinks, OnlyLinksToFilesInsideTheFolderAreOpened) {
    for (const TLinkCase& c : kLinks) {
        SCOPED_TRACE(c.name);
        const QByteArray name(c.name);
        EXPECT_EQ(Serve("PRINT=" + name), c.opened ? '<' : '#');
        EXPECT_EQ(Host->printer.printed.size(), c.opened ? 1 : 0);
        QString why;
        const QString path = Docs + QString::fromLatin1(name) + QStringLiteral(".tif");
        EXPECT_EQ(gd::OpenDocFileInFolder(Docs, path, &why).IsOpen(), c.opened);
        EXPECT_EQ(why.isEmpty(), c.opened) << why.toStdString();
        for (const QByteArray cmd : {"SHOW=", "EDIT="}) {
            EXPECT_EQ(Serve(cmd + name), c.opened ? '*' : '#') << cmd.constData();
            EXPECT_EQ(Host->Shows, c.opened ? 1 : 0) << cmd.constData();
            EXPECT_EQ(DocName, c.opened ? QString::fromLatin1(name) : QString()) << cmd.constData();
        }
    }
}

TEST_P(DocLinks, AFifoInTheFilesPlaceIsRefusedWithoutWaitingForAWriter) {
    const QString fifo = Docs + QStringLiteral("F.tif");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QString why;
    EXPECT_FALSE(gd::OpenDocFileInFolder(Docs, fifo, &why).IsOpen());
    EXPECT_EQ(why, QStringLiteral("это не обычный файл"));
}

TEST_P(DocLinks, DeleteRemovesTheLinkAndNotWhatItLeadsTo) {
    EXPECT_EQ(Serve("DELETE=Out"), '<');
    EXPECT_FALSE(QFileInfo(Docs + QStringLiteral("Out.tif")).isSymLink());
    EXPECT_EQ(ReadFile(Dir.path() + QStringLiteral("/outside/private.tif")), "secret");
}

INSTANTIATE_TEST_SUITE_P(Folder, DocLinks, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ByLink" : "Itself"; });
