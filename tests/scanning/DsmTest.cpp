// The session layer with the real Source Manager library over SANE's test
// backend, configured privately (SANE_CONFIG_DIR), against scanimage.

#include "scanning/Scanners.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

using namespace gd;
using namespace twain;

namespace {

class DsmTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Out.isValid());
        gdtest::UseSaneTestBackend(true);
        qunsetenv("GD_TWAIN_AUTOSCAN");
        qunsetenv("GD_TWAIN_SANE_OPTIONS");
        TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
        qApp->installEventFilter(&Hook);
        File = Out.filePath(QStringLiteral("0000BEEF.bmp"));
    }

    void TearDown() override {
        qApp->removeEventFilter(&Hook);
        try {
            if (TWIsDSEnabled()) {
                TW_PENDINGXFERS p{};
                TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &p);
                TWDisableDS();
            }
            TWCloseDS();
            TWCloseDSM();
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
        }
        TWUnloadDSM();
        TWSetDSMLibraryPath(QString());
        qunsetenv("GD_TWAIN_AUTOSCAN");
        qunsetenv("GD_TWAIN_SANE_OPTIONS");
        gdtest::UseSaneTestBackend(false);
        EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
    }

    void Open() {
        TWOpenDSM(&Window);
        ASSERT_TRUE(TWGetDefaultDS());
    }

    // scanimage's own picture of the same settings.
    QImage Reference(const QStringList& args) {
        const QString ref = Out.filePath(QStringLiteral("reference.pnm"));
        QFile::remove(ref);
        const gdtest::RunResult r =
            gdtest::Run(QStringLiteral("scanimage"),
                        QStringList{QStringLiteral("-d"), QStringLiteral("test:0"),
                                    QStringLiteral("--format=pnm"), QStringLiteral("-o"), ref} +
                            args,
                        60000, {QStringLiteral("SANE_CONFIG_DIR=") + gdtest::SaneConfigDir()});
        EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        return QImage(ref);
    }

    static int MaxDifference(const QImage& a, const QImage& b) {
        const QImage x = a.convertToFormat(QImage::Format_RGB32);
        const QImage y = b.convertToFormat(QImage::Format_RGB32);
        int worst = 0;
        for (int row = 0; row < x.height(); ++row)
            for (int col = 0; col < x.width(); ++col) {
                const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
                worst = std::max({worst, std::abs(qRed(p) - qRed(q)),
                                  std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
            }
        return worst;
    }

    static int BmpBits(const QString& path) {
        const QByteArray b = gdtest::ReadFile(path);
        if (b.size() < 54 || !b.startsWith("BM"))
            return -1;
        return quint8(b[28]) | (quint8(b[29]) << 8);
    }

    QDialog* ScanDialog() { return Window.findChild<QDialog*>(QStringLiteral("TwainScanDialog")); }

    template <typename Fn> static QString ErrorOf(Fn fn) {
        try {
            fn();
        } catch (const Exception& e) {
            return e.message();
        }
        return QString();
    }

    QTemporaryDir Out;
    QString File;
    QWidget Window;
    QStringList Errors;
    TTwainMessageHook Hook{[this](const QString& m) { Errors << m; }};
};

} // namespace

TEST_F(DsmTest, TheDefaultSourceIsTheFirstLocalDevice) {
    TWOpenDSM(&Window);
    EXPECT_NE(+AppIdentity().Id, 0u);
    ASSERT_TRUE(TWGetDefaultDS());
    EXPECT_STREQ(SourceIdentity().ProductName, "test:0");
    EXPECT_STREQ(SourceIdentity().Manufacturer, "Noname");
    EXPECT_NE(+SourceIdentity().Id, 0u);
    // Opening it twice through the manager is refused in the wrong state.
    TW_HANDLE h = &Window;
    EXPECT_EQ(TWCallDSM(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &h), TWRC_FAILURE);
    EXPECT_EQ(ErrorOf([] { TWRaiseDSMStatus(QStringLiteral("again")); }),
              QStringLiteral("DSM Error at again:\rIllegal operation for current Source "
                             "Manager\rSource state."));
}

TEST_F(DsmTest, WithoutAnyDeviceThereIsNoDefaultSource) {
    gdtest::UseSaneTestBackend(false);
    TWOpenDSM(&Window);
    EXPECT_FALSE(TWGetDefaultDS());
    EXPECT_EQ(ErrorOf([] { TWSelectDS(); }),
              QStringLiteral("DSM Error at TWSelectDS:Select Default:\rSource Manager unable to "
                             "find the specified Source."));
}

TEST_F(DsmTest, AcquiredPagesMatchScanimageInEveryMode) {
    struct TCase {
        const char* Options;
        QStringList Args;
        int Bits;
    };
    const QStringList common{QStringLiteral("--resolution"), QStringLiteral("75"),
                             QStringLiteral("--test-picture"), QStringLiteral("Color pattern")};
    const TCase cases[] = {
        {"mode=Gray;depth=8", {QStringLiteral("--mode"), QStringLiteral("Gray")}, 8},
        {"mode=Color;depth=8", {QStringLiteral("--mode"), QStringLiteral("Color")}, 24},
        {"mode=Gray;depth=1",
         {QStringLiteral("--mode"), QStringLiteral("Gray"), QStringLiteral("--depth"),
          QStringLiteral("1")},
         1},
        {"mode=Color;depth=16",
         {QStringLiteral("--mode"), QStringLiteral("Color"), QStringLiteral("--depth"),
          QStringLiteral("16")},
         24},
        // Colour in three frames, and a height unknown until the end.
        {"mode=Color;depth=8;three-pass=yes",
         {QStringLiteral("--mode"), QStringLiteral("Color"), QStringLiteral("--three-pass=yes")},
         24},
        {"mode=Gray;depth=8;hand-scanner=yes",
         {QStringLiteral("--mode"), QStringLiteral("Gray"), QStringLiteral("--hand-scanner=yes")},
         8},
    };
    Open();
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Options);
        qputenv("GD_TWAIN_SANE_OPTIONS",
                QByteArray(c.Options) + ";resolution=75;test-picture=Color pattern");
        QFile::remove(File);
        ASSERT_TRUE(TWAcquireToFile(&Window, File));
        EXPECT_FALSE(TWIsDSOpen());
        EXPECT_EQ(BmpBits(File), c.Bits);
        QImage ours(File);
        ASSERT_FALSE(ours.isNull());
        EXPECT_EQ(ours.dotsPerMeterX(), std::lround(75 / 0.0254));
        EXPECT_EQ(ours.dotsPerMeterY(), std::lround(75 / 0.0254));
        QImage ref = Reference(common + c.Args);
        ASSERT_FALSE(ref.isNull());
        ASSERT_EQ(ours.size(), ref.size());
        // 16-bit samples reach 8 bits by rounding; a reader may truncate.
        EXPECT_LE(MaxDifference(ours, ref), c.Args.contains(u"16") ? 1 : 0);
    }
}

TEST_F(DsmTest, AFeederOffersMoreSheetsUntilReset) {
    qputenv("GD_TWAIN_SANE_OPTIONS", "source=Automatic Document Feeder;resolution=25");
    Open();
    TWOpenDS();
    TWSetXferMech(TTransferKind::File);
    TWSetupFileXfer(File);
    qApp->removeEventFilter(&Hook); // the test takes the steps itself
    TWEnableDS(false);              // without a dialog the Source is ready at once
    ASSERT_EQ(TWFileTransfer(), TWRC_XFERDONE);
    TW_PENDINGXFERS p{};
    ASSERT_EQ(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
    EXPECT_EQ(p.Count, 0xFFFF); // another sheet is in the feeder
    ASSERT_EQ(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &p), TWRC_SUCCESS);
    EXPECT_EQ(p.Count, 0);
    TWDisableDS();
    TWCloseDS();
    EXPECT_GT(QImage(File).height(), 0);
    qApp->installEventFilter(&Hook);

    // Taking every sheet: the test backend's feeder holds ten.
    TWOpenDS();
    TWSetXferMech(TTransferKind::File);
    TWSetupFileXfer(File);
    qApp->removeEventFilter(&Hook);
    TWEnableDS(false);
    int sheets = 0;
    do {
        ASSERT_EQ(TWFileTransfer(), TWRC_XFERDONE) << sheets;
        ++sheets;
        ASSERT_EQ(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
    } while (p.Count != 0 && sheets < 20);
    EXPECT_EQ(sheets, 10);
    EXPECT_EQ(TWFileTransfer(), TWRC_FAILURE); // state 5: nothing more is ready
    TWDisableDS();
    TWCloseDS();
    qApp->installEventFilter(&Hook);

    // Through the whole acquisition: one page, and the Source is closed.
    QFile::remove(File);
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    EXPECT_TRUE(TWAcquireToFile(&Window, File));
    EXPECT_FALSE(TWIsDSOpen());
    EXPECT_FALSE(QImage(File).isNull());

    // A flatbed has nothing more.
    qputenv("GD_TWAIN_SANE_OPTIONS", "source=Flatbed;resolution=25");
    TWOpenDS();
    TWSetXferMech(TTransferKind::File);
    TWSetupFileXfer(File);
    qApp->removeEventFilter(&Hook);
    TWEnableDS(false);
    ASSERT_EQ(TWFileTransfer(), TWRC_XFERDONE);
    ASSERT_EQ(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
    EXPECT_EQ(p.Count, 0);
    TWDisableDS();
    TWCloseDS();
    qApp->installEventFilter(&Hook);
}

TEST_F(DsmTest, CancellingTheSourcesDialogGivesNoFile) {
    Open();
    qputenv("GD_TWAIN_AUTOSCAN", "cancel");
    EXPECT_FALSE(TWAcquireToFile(&Window, File));
    EXPECT_FALSE(QFile::exists(File));
    EXPECT_FALSE(TWIsDSOpen());
    EXPECT_EQ(ScanDialog(), nullptr);

    // A read the device cancels is a cancelled transfer, not an error.
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", "resolution=25;read-return-value=SANE_STATUS_CANCELLED");
    EXPECT_FALSE(TWAcquireToFile(&Window, File));
    EXPECT_FALSE(QFile::exists(File));
    EXPECT_FALSE(TWIsDSOpen());
}

TEST_F(DsmTest, ReadFailuresGiveTheirConditions) {
    const struct {
        const char* Status;
        const char* Text;
    } cases[] = {
        {"SANE_STATUS_JAMMED", "Transfer failed because of a feeder error"},
        {"SANE_STATUS_NO_MEM", "Not enough memory to complete operation."},
        {"SANE_STATUS_ACCESS_DENIED", "File System operation is denied (file is protected)."},
        {"SANE_STATUS_IO_ERROR", "General failure. Unload Source immediately."},
    };
    Open();
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Status);
        qputenv("GD_TWAIN_SANE_OPTIONS", QByteArray("resolution=25;read-return-value=") + c.Status);
        EXPECT_EQ(ErrorOf([&] { TWAcquireToFile(&Window, File); }),
                  QStringLiteral("DSM Error at File Transfer:\r") + QString::fromUtf8(c.Text));
        EXPECT_FALSE(QFile::exists(File));
        // The Source stays enabled; the user closes its dialog.
        ASSERT_TRUE(TWIsDSEnabled());
        QDialog* dlg = ScanDialog();
        ASSERT_NE(dlg, nullptr);
        EXPECT_TRUE(dlg->isEnabled());
        dlg->reject();
        ASSERT_TRUE(gdtest::WaitFor([] { return !TWIsDSOpen(); }, 10000));
    }
}

TEST_F(DsmTest, AFileThatCannotBeWrittenGivesAFileCondition) {
    Open();
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", "resolution=25");
    const QString missing = Out.filePath(QStringLiteral("no-such-folder/0000BEEF.bmp"));
    EXPECT_EQ(ErrorOf([&] { TWAcquireToFile(&Window, missing); }),
              QStringLiteral("DSM Error at File Transfer:\rFile not found."));
    QDialog* dlg = ScanDialog();
    ASSERT_NE(dlg, nullptr);
    dlg->reject();
    ASSERT_TRUE(gdtest::WaitFor([] { return !TWIsDSOpen(); }, 10000));
}

TEST_F(DsmTest, TripletsOutOfStateFailWithASequenceError) {
    const QString seq =
        QStringLiteral("Illegal operation for current Source Manager\rSource state.");
    Open();
    TWOpenDS();
    EXPECT_EQ(TWFileTransfer(), TWRC_FAILURE); // state 4: nothing is ready
    EXPECT_EQ(ErrorOf([] { TWRaiseDSStatus(QStringLiteral("Transfer")); }),
              QStringLiteral("DS Error at Transfer:\r") + seq);
    TW_PENDINGXFERS p{};
    EXPECT_EQ(ErrorOf([&] {
                  TWCheckDS(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p),
                            QStringLiteral("End"));
              }),
              QStringLiteral("DS Error at End:\r") + seq);
    TWSetupFileXfer(File);
    TWEnableDS(true); // no automation: the dialog waits for the user
    ASSERT_NE(ScanDialog(), nullptr);
    EXPECT_EQ(ErrorOf([] { TWSetXferMech(TTransferKind::File); }),
              QStringLiteral("DS Error at Set Xfer Mech:\r") + seq);
    EXPECT_EQ(ErrorOf([] { TWCloseDS(); }), QStringLiteral("DSM Error at TWCloseDS:\r") + seq);
    EXPECT_TRUE(TWIsDSOpen());
    EXPECT_EQ(ErrorOf([] { TWSetXferMech(TTransferKind::Memory); }),
              QStringLiteral("DS Error at Set Xfer Mech:\r") + seq);
    TWDisableDS();
    EXPECT_EQ(ScanDialog(), nullptr);
    EXPECT_EQ(ErrorOf([] { TWSetXferMech(TTransferKind::Memory); }),
              QStringLiteral("DS Error at Set Xfer Mech:\rData parameter out of supported "
                             "range."));
    TWCloseDS();
}

TEST_F(DsmTest, TheUserScansFromTheSourcesDialog) {
    qputenv("GD_TWAIN_SANE_OPTIONS", "mode=Color;resolution=50");
    Open();
    bool driven = false;
    QTimer::singleShot(0, [&] {
        QDialog* dlg = ScanDialog();
        if (!dlg)
            return;
        auto* device = dlg->findChild<QLabel*>(QStringLiteral("lblDevice"));
        auto* mode = dlg->findChild<QComboBox*>(QStringLiteral("cbxMode"));
        auto* resolution = dlg->findChild<QComboBox*>(QStringLiteral("cbxResolution"));
        if (!device || !mode || !resolution)
            return;
        EXPECT_TRUE(device->text().contains(QStringLiteral("test:0")));
        EXPECT_EQ(mode->currentText(), QStringLiteral("Colour"));
        EXPECT_EQ(resolution->currentText(), QStringLiteral("50"));
        EXPECT_EQ(mode->count(), 3); // colour, gray, black and white (gray at depth 1)
        mode->setCurrentIndex(mode->findText(QStringLiteral("Black and white")));
        resolution->setCurrentIndex(resolution->findText(QStringLiteral("100")));
        driven = mode->currentIndex() >= 0 && resolution->currentIndex() >= 0;
        dlg->findChild<QPushButton*>(QStringLiteral("btnScan"))->click();
    });
    ASSERT_TRUE(TWAcquireToFile(&Window, File));
    EXPECT_TRUE(driven);
    EXPECT_EQ(BmpBits(File), 1);
    EXPECT_EQ(QImage(File).dotsPerMeterX(), std::lround(100 / 0.0254));
}

TEST_F(DsmTest, TheUserChoosesAnotherSourceOrCancels) {
    Open();
    const auto answer = [](bool accept) {
        QTimer::singleShot(0, [accept] {
            auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dlg || dlg->objectName() != QStringLiteral("TwainSelectSource"))
                return;
            auto* list = dlg->findChild<QListWidget*>(QStringLiteral("lstSources"));
            EXPECT_EQ(list->count(), 2);
            if (accept) {
                // The current Source is preselected.
                EXPECT_TRUE(list->currentItem()->text().contains(QStringLiteral("(test:0)")));
                list->setCurrentRow(1);
                dlg->accept();
            } else {
                list->setCurrentRow(0);
                dlg->reject();
            }
        });
    };
    answer(true);
    TWSelectDS();
    EXPECT_STREQ(SourceIdentity().ProductName, "test:1");
    answer(false);
    TWSelectDS();
    EXPECT_STREQ(SourceIdentity().ProductName, "test:1");

    // The chosen Source is the one opened next.
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", "resolution=25");
    EXPECT_TRUE(TWAcquireToFile(&Window, File));
}

TEST_F(DsmTest, ASecondAcquisitionInsideTheFirstEndsWithASequenceError) {
    qputenv("GD_TWAIN_SANE_OPTIONS", "resolution=25");
    Open();
    QString inner;
    bool scanned = false;
    QTimer::singleShot(0, [&] {
        const QString second = Out.filePath(QStringLiteral("0000F00D.bmp"));
        inner = ErrorOf([&] { TWAcquireToFile(&Window, second); });
        EXPECT_FALSE(QFile::exists(second));
        if (QDialog* dlg = ScanDialog()) {
            dlg->findChild<QPushButton*>(QStringLiteral("btnScan"))->click();
            scanned = true;
        }
    });
    EXPECT_TRUE(TWAcquireToFile(&Window, File)); // the first goes on
    EXPECT_EQ(inner, QStringLiteral("DS Error at Set Xfer Mech:\rIllegal operation for current "
                                    "Source Manager\rSource state."));
    EXPECT_TRUE(scanned);
    EXPECT_FALSE(QImage(File).isNull());
}

TEST_F(DsmTest, UnknownTripletsAndDestinationsAreRefused) {
    Open();
    TW_IDENTITY stranger = SourceIdentity();
    stranger.Id = 9999;
    TW_STATUS status{};
    EXPECT_EQ(TWCallDSM(&stranger, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_FAILURE);
    EXPECT_EQ(TWCallDSM(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_BADDEST);
    EXPECT_EQ(TWCallDSM(nullptr, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ErrorOf([] { TWRaiseDSMStatus(QStringLiteral("Info")); }),
              QStringLiteral("DSM Error at Info:\rUnrecognized operation triplet."));
    // Reading the status clears it.
    EXPECT_EQ(TWCallDSM(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_SUCCESS);
    TWOpenDS();
    TW_CAPABILITY cap{};
    cap.Cap = ICAP_PIXELTYPE;
    EXPECT_EQ(TWCallDS(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_FAILURE);
    EXPECT_EQ(ErrorOf([] { TWRaiseDSStatus(QStringLiteral("Pixel")); }),
              QStringLiteral("DS Error at Pixel:\rCapability not supported by Source."));
    TW_SETUPFILEXFER setup{};
    std::strcpy(setup.FileName, "/tmp/x.tif");
    setup.Format = TWFF_TIFF;
    EXPECT_EQ(TWCallDS(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
}
