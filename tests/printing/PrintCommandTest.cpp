#include "printing/PrintCommand.h"
#include "common/Exception.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

struct TCall {
    QString path, title;
    int copies;
};

class TRecordingPrinter : public gd::IDocPrinter {
public:
    bool PrinterAvailable() const override { return available; }
    void PrintFile(const QString& path, const QString& title, int copies) override {
        calls.push_back({path, title, copies});
        if (fail)
            fail();
    }
    bool available = true;
    std::function<void()> fail;
    std::vector<TCall> calls;
};

class PrintCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("A.tif"));
        gdtest::WriteFile(path, "II*\0");
    }
    QTemporaryDir dir;
    QString path;
    TRecordingPrinter printer;
};

} // namespace

TEST_F(PrintCommand, PrintsTheFileWithTheTitleAndCopies) {
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("A"), path, QStringLiteral("2")),
              '<');
    ASSERT_EQ(printer.calls.size(), 1u);
    EXPECT_EQ(printer.calls[0].path, path);
    EXPECT_EQ(printer.calls[0].title, QStringLiteral("Kvelmar - A"));
    EXPECT_EQ(printer.calls[0].copies, 2);
}

TEST_F(PrintCommand, CopiesFollowThePlatformIntegerRules) {
    const std::pair<const char*, int> cases[] = {
        {"", 1},      {"abc", 1}, {"2x", 1}, {"  3", 3}, {"$10", 16},
        {"0x1F", 31}, {"+4", 4},  {"0", 0},  {"-2", -2},
    };
    for (const auto& [text, copies] : cases) {
        printer.calls.clear();
        EXPECT_EQ(
            gd::ExecutePrintCommand(printer, QStringLiteral("A"), path, QString::fromUtf8(text)),
            '<');
        ASSERT_EQ(printer.calls.size(), 1u) << text;
        EXPECT_EQ(printer.calls[0].copies, copies) << text;
    }
}

TEST_F(PrintCommand, IsRefusedWithoutAPrinterOrAFile) {
    printer.available = false;
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("A"), path, QString()), '#');
    printer.available = true;
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("B"),
                                      dir.filePath(QStringLiteral("B.tif")), QString()),
              '#');
    // A folder by the document's name is no document.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("C.tif")));
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("C"),
                                      dir.filePath(QStringLiteral("C.tif")), QString()),
              '#');
    EXPECT_TRUE(printer.calls.empty());
}

TEST_F(PrintCommand, AnyFailureWhilePrintingMarksTheRequestFailed) {
    printer.fail = [] {
        throw gd::Exception(QStringLiteral("There is no default printer currently selected"));
    };
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("A"), path, QString()), '#');
    printer.fail = [] { throw std::runtime_error("decoder"); };
    EXPECT_EQ(gd::ExecutePrintCommand(printer, QStringLiteral("A"), path, QString()), '#');
    EXPECT_EQ(printer.calls.size(), 2u);
}
