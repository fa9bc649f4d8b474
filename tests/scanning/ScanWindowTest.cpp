// Scanning from the main window with the real Source Manager over SANE's
// test backend: the scanner entry, the two scan actions, the pages they make,
// and the program's start-up without a usable Source Manager.

#include "scanning/Scanners.h"
#include "server/DocServer.h"
#include "server/ProtocolSupport.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace gd;

namespace {

class ScanWindow : public gdtest::WindowTest {
protected:
    QString temp = dir.filePath("tmp");
    QByteArray oldTmp = qgetenv("TMPDIR");

    void SetUp() override {
        WindowTest::SetUp();
        QDir().mkpath(temp);
        qputenv("TMPDIR", QFile::encodeName(temp)); // scanned files land here
        const gdtest::RunResult r = gdtest::Run(
            "convert-im6.q16", {"-size", "300x200", "xc:white", "-size", "200x300", "xc:gray",
                                "-size", "100x100", "xc:red", docs + "/A.tif"});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        gdtest::UseSaneTestBackend(true);
        qputenv("GD_TWAIN_AUTOSCAN", "1");
        qputenv("GD_TWAIN_SANE_OPTIONS", "mode=Gray;resolution=50");
    }
    void TearDown() override {
        w.reset();
        EXPECT_FALSE(TWIsDSMOpen()); // closed when the window went
        qunsetenv("GD_TWAIN_AUTOSCAN");
        qunsetenv("GD_TWAIN_SANE_OPTIONS");
        gdtest::UseSaneTestBackend(false);
        qputenv("TMPDIR", oldTmp);
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    }
    void Open() { OpenWindow(); }
    void Edit(const QByteArray& name) { EditDocument(name); }
    QStringList ScannedFiles() { return QDir(temp).entryList({"*.bmp"}, QDir::Files); }
    // The page's own image (a scanned page has one; pages of the file do not).
    QSize PageSize(int index) {
        TGPBitmap* b = Win().Doc.Pages().Get(index)->GetBitmap();
        return b ? QSize(b->GetWidth(), b->GetHeight()) : QSize();
    }
};

// The test backend's default area, 80 by 100 mm, at 50 dpi.
const QSize kScanned(157, 196);

} // namespace

TEST_F(ScanWindow, TheScannerEntryAndActionsFollowTheDefaultSourceAndEditMode) {
    Open();
    EXPECT_TRUE(Win().I.ItemScaner->isEnabled());
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionScan->isEnabled()); // not editing
    EXPECT_FALSE(Win().A.ActionPageAddFromScan->isEnabled());
    Edit("A");
    Win().UpdateActions();
    EXPECT_TRUE(Win().A.ActionScan->isEnabled());
    EXPECT_TRUE(Win().A.ActionPageAddFromScan->isEnabled());
}

TEST_F(ScanWindow, WithoutAnyDeviceScanningStaysDisabledForTheRun) {
    gdtest::UseSaneTestBackend(false);
    Open();
    EXPECT_TRUE(TWIsDSMOpen());
    EXPECT_FALSE(Win().I.ItemScaner->isEnabled());
    Edit("A");
    Win().UpdateActions();
    EXPECT_FALSE(Win().A.ActionScan->isEnabled());
    EXPECT_FALSE(Win().A.ActionPageAddFromScan->isEnabled());
}

TEST_F(ScanWindow, ScanOnAnEmptyDocumentAddsThePageAndMakesItCurrent) {
    Open();
    Edit("New");
    ASSERT_EQ(Win().Doc.PageCount(), 0);
    Win().A.ActionScan->trigger();
    ASSERT_EQ(Win().Doc.PageCount(), 1);
    EXPECT_EQ(Win().Doc.PageIndex(), 0);
    EXPECT_TRUE(Win().Doc.Change().pages);
    EXPECT_TRUE(Win().ImageBox->HasPicture());
    EXPECT_EQ(PageSize(0), kScanned);
    // The page owns its file: the temporary folder, 8 hex digits, ".bmp".
    const QString file = Win().Doc.Pages().Get(0)->FFileName;
    EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(temp) + "/[0-9A-F]{8}\\.bmp$")
                    .match(file)
                    .hasMatch())
        << file.toStdString();
    EXPECT_TRUE(QFile::exists(file));
}

TEST_F(ScanWindow, ScanReplacesTheCurrentPageAndDeletesTheReplacedScan) {
    Open();
    Edit("A");
    ASSERT_EQ(Win().Doc.PageCount(), 3);
    Win().Doc.SetCurrentPage(1);
    Win().A.ActionScan->trigger();
    ASSERT_EQ(Win().Doc.PageCount(), 3);
    EXPECT_EQ(Win().Doc.PageIndex(), 1);
    EXPECT_EQ(PageSize(1), kScanned);
    const QString first = Win().Doc.Pages().Get(1)->FFileName;
    ASSERT_TRUE(QFile::exists(first));

    Win().A.ActionScan->trigger(); // replaces the scanned page: its file goes
    EXPECT_EQ(Win().Doc.PageCount(), 3);
    EXPECT_FALSE(QFile::exists(first));
    EXPECT_EQ(ScannedFiles().size(), 1);

    // Hiding the document destroys the pages and their files.
    Win().Host.HideDocument();
    EXPECT_TRUE(ScannedFiles().isEmpty());
}

TEST_F(ScanWindow, ScanImageAppendsAndMakesTheLastPageCurrent) {
    Open();
    Edit("A");
    Win().A.ActionPageAddFromScan->trigger();
    ASSERT_EQ(Win().Doc.PageCount(), 4);
    EXPECT_EQ(Win().Doc.PageIndex(), 3);
    EXPECT_EQ(PageSize(3), kScanned);
    EXPECT_TRUE(Win().Doc.Change().pages);
}

TEST_F(ScanWindow, CancellingTheSourcesDialogChangesNothing) {
    Open();
    Edit("A");
    Win().Doc.SetCurrentPage(2);
    qputenv("GD_TWAIN_AUTOSCAN", "cancel");
    Win().A.ActionScan->trigger();
    Win().A.ActionPageAddFromScan->trigger();
    EXPECT_EQ(Win().Doc.PageCount(), 3);
    EXPECT_EQ(Win().Doc.PageIndex(), 2);
    EXPECT_FALSE(Win().Doc.Change().pages);
    EXPECT_TRUE(ScannedFiles().isEmpty());
    EXPECT_FALSE(TWIsDSOpen());
}

TEST_F(ScanWindow, AFeederOfSeveralSheetsYieldsOnePage) {
    qputenv("GD_TWAIN_SANE_OPTIONS", "mode=Gray;resolution=50;source=Automatic Document Feeder");
    Open();
    Edit("New");
    Win().A.ActionPageAddFromScan->trigger();
    EXPECT_EQ(Win().Doc.PageCount(), 1);
    EXPECT_EQ(ScannedFiles().size(), 1);
    EXPECT_FALSE(TWIsDSOpen());
}

TEST_F(ScanWindow, ChoosingTheScannerDuringAnAcquisitionFailsAndTheScanGoesOn) {
    qunsetenv("GD_TWAIN_AUTOSCAN"); // the user scans from the dialog
    Open();
    Edit("New");
    bool scanned = false;
    QTimer::singleShot(0, [&] {
        Win().I.ItemScaner->trigger();
        auto* dlg = w->findChild<QDialog*>("TwainScanDialog");
        if (!dlg)
            return;
        dlg->findChild<QPushButton*>("btnScan")->click();
        scanned = true;
    });
    Win().A.ActionScan->trigger();
    EXPECT_TRUE(scanned);
    EXPECT_EQ(Win().Doc.PageCount(), 1);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(QRegularExpression("^Source must not be open \\(SCANNERS, line \\d+\\)$")
                    .match(errors.value(0))
                    .hasMatch())
        << errors.value(0).toStdString();
    errors.clear();
}

TEST_F(ScanWindow, AReadFailureIsShownAndMakesNoPage) {
    qputenv("GD_TWAIN_SANE_OPTIONS", "resolution=50;read-return-value=SANE_STATUS_JAMMED");
    Open();
    Edit("New");
    Win().A.ActionScan->trigger();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.value(0),
              QStringLiteral("DSM Error at File Transfer:\rTransfer failed because of a feeder "
                             "error"));
    errors.clear();
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    EXPECT_TRUE(ScannedFiles().isEmpty());
    // The Source stays enabled until the user closes its dialog; its Scan
    // button, which could do nothing now, is disabled.
    auto* dlg = w->findChild<QDialog*>("TwainScanDialog");
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(dlg->isEnabled());
    EXPECT_FALSE(dlg->findChild<QPushButton*>("btnScan")->isEnabled());
    dlg->reject();
    ASSERT_TRUE(gdtest::WaitFor([] { return !TWIsDSOpen(); }, 10000));
}

TEST(ScanProgram, AMissingSourceManagerOrEntryPointEndsTheStart) {
    QTemporaryDir dir;
    const QString exe = gdtest::CopyServerBinary(dir.path());
    const QString docs = dir.filePath("docs");
    QDir().mkpath(docs);
    const QString dsm = dir.filePath("libgdtwaindsm.so");
    ASSERT_TRUE(QFile::remove(dsm));
    gdtest::RunResult r = gdtest::Run(exe, {docs}, 60000, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Twain DLL couldn't be loaded.")) << r.err.constData();

    ASSERT_TRUE(QFile::copy(GD_NO_ENTRY_LIB, dsm));
    r = gdtest::Run(exe, {docs}, 60000, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("DSMEntry not found in Twain DLL.")) << r.err.constData();
}

TEST_F(ScanWindow, ASavedDocumentContainsTheScannedPagesAndTheirFilesAreGone) {
    Open();
    Edit("A");
    Win().A.ActionPageAddFromScan->trigger();
    Win().A.ActionPageAddFromScan->trigger();
    ASSERT_EQ(Win().Doc.PageCount(), 5);
    ASSERT_EQ(ScannedFiles().size(), 2);
    Win().UpdateActions();
    ASSERT_TRUE(Win().A.ActionSave->isEnabled());
    Win().A.ActionSave->trigger();
    EXPECT_FALSE(Win().Doc.Change().pages);
    EXPECT_TRUE(ScannedFiles().isEmpty()); // the pages now come from the saved file

    // What an independent tool reads back: five pages, the scans 8-bit gray.
    const gdtest::RunResult info = gdtest::Run("tiffinfo", {docs + "/A.tif"});
    ASSERT_EQ(info.exitCode, 0) << info.err.constData();
    EXPECT_EQ(info.out.count("TIFF Directory at offset"), 5);
    EXPECT_EQ(info.out.count(QByteArray("Image Width: ") + QByteArray::number(kScanned.width()) +
                             " Image Length: " + QByteArray::number(kScanned.height())),
              2);
    Win().Doc.SetCurrentPage(4);
    EXPECT_EQ(Win().Doc.Pages().Get(4)->FBitmap, nullptr); // a frame of the saved file
    EXPECT_EQ(PageSize(4), kScanned);
    EXPECT_EQ(Win().ImageBox->Picture().size(), kScanned);
}
