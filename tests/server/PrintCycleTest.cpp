// PRINT requests carried out by the server's command cycle on a real control
// file, with a recording printer in place of CUPS.
#include "common/Exception.h"
#include "server/DocServer.h"
#include "server/PrintCommand.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <new>

namespace {

struct TCall {
    QString path, title;
    int copies;
};

struct TPrinter : gd::IDocPrinter {
    bool available = true;
    std::function<void()> fail;
    std::vector<TCall> calls;
    bool PrinterAvailable() const override { return available; }
    void PrintFile(const QString& path, const QString& title, int copies) override {
        calls.push_back({path, title, copies});
        if (fail)
            fail();
    }
};

struct THost : gd::IServerHost {
    TPrinter* printer = nullptr;
    void ShowError(const QString&) override {}
    QString named; // a name handed to the window
    void NameDocument(const QString& name) override { named = name; }
    bool ShowDocument(const QString& name) override {
        named = name;
        return false;
    }
    void SetStateText(const QString&) override {}
    void SetCtlFileText(const QString&) override {}
    void SetSwitchChecked(bool) override {}
    void ProcessEvents() override {}
    void CloseMainWindow() override {}
    gd::IDocPrinter* DocPrinter() override { return printer; }
};

QByteArray Line(const QByteArray& command, char mark = '>') {
    return mark + QByteArray(34, 'c') + command + "\r\n";
}

class PrintCycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir().mkpath(docs);
        gdtest::WriteFile(docs + QStringLiteral("A.tif"), "x");
        gdtest::WriteFile(docs + QStringLiteral("A.bmp"), "x");
        gdtest::WriteFile(docs + QString::fromUtf8("Дело.jpg"), "x");
        host.printer = &printer;
        server = std::make_unique<gd::TDocServer>(host, gd::TCommandLine{docs, QString(), false},
                                                  [] { return QStringLiteral("tif"); });
        server->SetServerActive(true);
    }
    QByteArray Cycle(const QByteArray& text) {
        const QString ctl = docs + QStringLiteral("a.dde");
        gdtest::WriteFile(ctl, text);
        server->ExecuteCommands();
        return gdtest::ReadFile(ctl);
    }

    QTemporaryDir dir;
    QString docs = dir.path() + QStringLiteral("/docs/");
    TPrinter printer;
    THost host;
    std::unique_ptr<gd::TDocServer> server;
};

} // namespace

TEST_F(PrintCycle, PrintsTheFirstExistingFileWithTitleAndCopies) {
    // "Дело" in the clients' code page, Windows-1251.
    const QByteArray delo("\xc4\xe5\xeb\xee");
    EXPECT_EQ(Cycle(Line("PRINT=A;COPIES=$10") + Line("print=" + delo) + Line("PRINT=A;Copies=x")),
              Line("PRINT=A;COPIES=$10", '<') + Line("print=" + delo, '<') +
                  Line("PRINT=A;Copies=x", '<'));
    ASSERT_EQ(printer.calls.size(), 3u);
    EXPECT_EQ(printer.calls[0].path, docs + QStringLiteral("A.tif"));
    EXPECT_EQ(printer.calls[0].title, QStringLiteral("Kvelmar - A"));
    EXPECT_EQ(printer.calls[0].copies, 16);
    EXPECT_EQ(printer.calls[1].path, docs + QString::fromUtf8("Дело.jpg"));
    EXPECT_EQ(printer.calls[1].title, QString::fromUtf8("Kvelmar - Дело"));
    EXPECT_EQ(printer.calls[2].copies, 1);
    // PRINT leaves the current document alone.
    EXPECT_TRUE(host.named.isEmpty());
}

TEST_F(PrintCycle, RefusalsAndFailuresAreMarkedAndTheServerGoesOn) {
    printer.fail = [] { throw gd::Exception(QStringLiteral("refused")); };
    // A folder by a document's name is no document.
    ASSERT_TRUE(QDir(docs).mkdir(QStringLiteral("C.tif")));
    EXPECT_EQ(Cycle(Line("PRINT=A") + Line("PRINT=B") + Line("PRINT=C") + Line("PRINT=../docs/A") +
                    Line("PRINT=") + Line("TEST=")),
              Line("PRINT=A", '#') + Line("PRINT=B", '#') + Line("PRINT=C", '#') +
                  Line("PRINT=../docs/A", '#') + Line("PRINT=", '#') + Line("TEST=", '<'));
    EXPECT_EQ(printer.calls.size(), 1u); // only A reached the printer
    EXPECT_TRUE(server->IsActive());
    // Not only the program's own errors: anything thrown is a failed print.
    printer.fail = [] { throw std::bad_alloc(); };
    EXPECT_EQ(Cycle(Line("PRINT=A")), Line("PRINT=A", '#'));
    EXPECT_TRUE(server->IsActive());

    printer.fail = nullptr;
    printer.calls.clear();
    printer.available = false;
    EXPECT_EQ(Cycle(Line("PRINT=A")), Line("PRINT=A", '#'));
    host.printer = nullptr;
    EXPECT_EQ(Cycle(Line("PRINT=A")), Line("PRINT=A", '#'));
    EXPECT_TRUE(printer.calls.empty());
}
