// The clipboard against other X11 programs (xclip), and a look at the window,
// on an Xvfb server this test starts for itself.
#include "server/DocServer.h"
#include "server/ProtocolSupport.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace gd;

namespace {

// Runs a program while this process's event loop keeps serving the
// clipboard (xclip asks this process for its data).
gdtest::RunResult RunServing(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    gdtest::RunResult r;
    if (!p.waitForStarted(5000))
        return r;
    if (!gdtest::WaitFor([&] { return p.state() == QProcess::NotRunning; }, 15000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

class X11Editing : public gdtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        const gdtest::RunResult r = gdtest::Run("convert-im6.q16", {"(",
                                                                    "-size",
                                                                    "600x400",
                                                                    "gradient:white-navy",
                                                                    "-depth",
                                                                    "8",
                                                                    "-type",
                                                                    "TrueColor",
                                                                    ")",
                                                                    "(",
                                                                    "-size",
                                                                    "300x500",
                                                                    "xc:white",
                                                                    "-fill",
                                                                    "black",
                                                                    "-draw",
                                                                    "rectangle 20,20 280,60",
                                                                    "-monochrome",
                                                                    ")",
                                                                    docs + "/A.tif"});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        OpenWindow();
        // Shown and activated, as the user sees it.
        w->show();
        ASSERT_TRUE(gdtest::WaitFor([this] { return w->Activated(); }, 5000));
        EditDocument("A");
        gdtest::WaitFor([] { return false; }, 300);
    }
    void TearDown() override {
        if (w)
            w->close();
    }
};

} // namespace

TEST_F(X11Editing, CopiedPageIsAnImageForOtherPrograms) {
    Win().UpdateActions();
    ASSERT_TRUE(Win().A.ActionCopy->isEnabled());
    Win().A.ActionCopy->trigger();
    const gdtest::RunResult targets =
        RunServing("xclip", {"-selection", "clipboard", "-t", "TARGETS", "-o"});
    ASSERT_EQ(targets.exitCode, 0) << targets.err.constData();
    EXPECT_TRUE(targets.out.contains("image/png")) << targets.out.constData();
    EXPECT_TRUE(targets.out.contains("image/bmp")) << targets.out.constData();

    const gdtest::RunResult png =
        RunServing("xclip", {"-selection", "clipboard", "-t", "image/png", "-o"});
    ASSERT_EQ(png.exitCode, 0);
    const QImage got = QImage::fromData(png.out, "PNG");
    EXPECT_EQ(got.size(), QSize(600, 400));
    EXPECT_EQ(got.convertToFormat(QImage::Format_RGB32),
              Win().ImageBox->Picture().convertToFormat(QImage::Format_RGB32));
}

TEST_F(X11Editing, ImageFromAnotherProgramPastedIntoThePage) {
    const QString file = dir.filePath("clip.png");
    QImage clip(123, 45, QImage::Format_RGB32);
    clip.fill(qRgb(200, 30, 30));
    ASSERT_TRUE(clip.save(file));
    // xclip stays in the background serving the selection until it is lost.
    ASSERT_EQ(
        gdtest::Run("xclip", {"-selection", "clipboard", "-t", "image/png", "-i", file}).exitCode,
        0);
    ASSERT_TRUE(gdtest::WaitFor(
        [&] {
            Win().UpdateActions();
            return !QGuiApplication::clipboard()->ownsClipboard() &&
                   Win().A.ActionPaste->isEnabled();
        },
        5000));
    Win().A.ActionPaste->trigger();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QImage shown = Win().ImageBox->Picture();
    EXPECT_EQ(shown.size(), QSize(123, 45));
    EXPECT_EQ(shown.pixelColor(60, 20), QColor(200, 30, 30));
    EXPECT_TRUE(Win().Doc.Change().picture);
    // Taking the selection back ends the background xclip.
    Win().A.ActionCopy->trigger();
}

TEST_F(X11Editing, ScreenshotOfTheWindowWithADocument) {
    w->SetFitInWindow(true);
    Win().Doc.SetCurrentPage(1);
    Win().UpdateActions();
    gdtest::WaitFor([] { return false; }, 700);
    const QString shot = QStringLiteral(GD_BINARY_DIR "/editor-window.png");
    QFile::remove(shot);
    const gdtest::RunResult r = RunServing("import", {"-window", "root", shot});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QImage img(shot);
    ASSERT_FALSE(img.isNull());
    // The page (white with a black bar) and the grey area around it are there.
    const QRect frame = w->frameGeometry();
    EXPECT_TRUE(QRect(QPoint(0, 0), img.size()).intersects(frame));
}

// The X11 connection brings D-Bus and fontconfig, which keep allocations for
// the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\nleak:libsane-test.so\n";
}

int main(int argc, char** argv) {
    // An X server of our own: CI has no display.
    gdtest::Xvfb xvfb;
    if (xvfb.Display().isEmpty()) {
        fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    qputenv("DISPLAY", xvfb.Display());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    gdtest::UseBuiltScanners();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
