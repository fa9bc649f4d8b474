// The session layer against a scripted Source Manager: every call it makes,
// every error path and its exact message.

#include "scanning/Scanners.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>

using namespace gd;
using namespace twain;

namespace {

struct TFake {
    void (*Reset)() = nullptr;
    void (*SetResult)(TW_UINT32, TW_UINT16, TW_UINT16, TW_UINT16) = nullptr;
    void (*SetStatus)(TW_UINT16, TW_UINT16, TW_UINT16) = nullptr;
    void (*SetEndXferCount)(TW_UINT16) = nullptr;
    void (*NotifyOnEnable)(TW_UINT16) = nullptr;
    const char* (*Log)() = nullptr;
};

template <typename F> void Bind(void* lib, F& f, const char* name) {
    f = reinterpret_cast<F>(::dlsym(lib, name));
    ASSERT_NE(f, nullptr) << name;
}

// A widget that counts the events of one kind that reach it.
class TCountingWidget : public QWidget {
public:
    int Seen = 0;
    QEvent::Type Kind = QEvent::User;

protected:
    bool event(QEvent* e) override {
        if (e->type() == Kind)
            ++Seen;
        return QWidget::event(e);
    }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        void* lib = ::dlopen(GD_FAKE_DSM, RTLD_NOW | RTLD_NODELETE);
        ASSERT_NE(lib, nullptr) << ::dlerror();
        Bind(lib, F.Reset, "FakeDsm_Reset");
        Bind(lib, F.SetResult, "FakeDsm_SetResult");
        Bind(lib, F.SetStatus, "FakeDsm_SetStatus");
        Bind(lib, F.SetEndXferCount, "FakeDsm_SetEndXferCount");
        Bind(lib, F.NotifyOnEnable, "FakeDsm_NotifyOnEnable");
        Bind(lib, F.Log, "FakeDsm_Log");
        F.Reset();
        TWSetDSMLibraryPath(QStringLiteral(GD_FAKE_DSM));
    }

    void TearDown() override {
        F.Reset();
        try {
            if (TWIsDSOpen()) {
                TWDisableDS();
                TWCloseDS();
            }
            TWCloseDSM();
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
        }
        TWUnloadDSM();
        TWSetDSMLibraryPath(QString());
    }

    QByteArray Log() const { return QByteArray(F.Log()); }
    int Count(const QByteArray& what) const { return int(Log().count(what)); }

    void OpenSource() {
        TWOpenDSM(&Window);
        ASSERT_TRUE(TWGetDefaultDS());
        TWOpenDS();
    }

    // The message of the error the call raises (empty when none).
    template <typename Fn> static QString ErrorOf(Fn fn) {
        try {
            fn();
        } catch (const Exception& e) {
            return e.message();
        }
        return QString();
    }

    TFake F;
    QWidget Window;
};

} // namespace

TEST_F(SessionTest, TheManagerIsLookedForBesideTheProgramThenWhereItIsInstalled) {
    TWSetDSMLibraryPath(QString());
    const QStringList c = TWDSMLibraryCandidates();
    ASSERT_EQ(c.size(), 4);
    EXPECT_EQ(c[0], QCoreApplication::applicationDirPath() + QStringLiteral("/libgdtwaindsm.so"));
    EXPECT_TRUE(c[1].startsWith(QCoreApplication::applicationDirPath() + QStringLiteral("/../")));
    EXPECT_TRUE(c[1].endsWith(QStringLiteral("/gdserver/libgdtwaindsm.so")));
    EXPECT_TRUE(c[2].endsWith(QStringLiteral("/gdserver/libgdtwaindsm.so")));
    EXPECT_EQ(c[3], QStringLiteral("libgdtwaindsm.so")); // the loader's own search
    TWSetDSMLibraryPath(QStringLiteral("/x/y.so"));
    EXPECT_EQ(TWDSMLibraryCandidates(), QStringList{QStringLiteral("/x/y.so")});
}

TEST_F(SessionTest, MissingLibraryOrEntryPointIsReportedAtOpen) {
    TWSetDSMLibraryPath(QStringLiteral("/nonexistent/libgdtwaindsm.so"));
    EXPECT_EQ(ErrorOf([&] { TWOpenDSM(&Window); }), QStringLiteral("Twain DLL couldn't be loaded"));
    EXPECT_FALSE(TWIsDSMOpen());

    TWSetDSMLibraryPath(QStringLiteral(GD_NO_ENTRY_LIB));
    EXPECT_EQ(ErrorOf([&] { TWOpenDSM(&Window); }),
              QStringLiteral("DSMEntry not found in Twain DLL"));
    EXPECT_FALSE(TWIsDSMOpen());
    // Without an entry point a call is a failed precondition, not a crash.
    EXPECT_TRUE(ErrorOf([] {
                    TWCallDSM(nullptr, DG_CONTROL, DAT_NULL, MSG_NULL, nullptr);
                }).startsWith(QStringLiteral("Assertion failure (SCANNERS, line ")));
}

TEST_F(SessionTest, OpenFillsTheIdentityOnceAndAssertsAWindow) {
    const QString err = ErrorOf([] { TWOpenDSM(nullptr); });
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Assertion failure \\(SCANNERS, line \\d+\\)$"))
                    .match(err)
                    .hasMatch())
        << err.toStdString();

    TWOpenDSM(&Window);
    ASSERT_TRUE(TWIsDSMOpen());
    const TW_IDENTITY& a = AppIdentity();
    EXPECT_EQ(+a.Id, 7u); // assigned by the manager
    EXPECT_EQ(a.Version.MajorNum, 1);
    EXPECT_EQ(a.Version.MinorNum, 0);
    EXPECT_EQ(a.Version.Language, TWLG_USA);
    EXPECT_EQ(a.Version.Country, TWCY_USA);
    EXPECT_STREQ(a.Version.Info, "Corvane Twain Test");
    EXPECT_EQ(a.ProtocolMajor, 1);
    EXPECT_EQ(a.ProtocolMinor, 7);
    EXPECT_EQ(+a.SupportedGroups, 3u);
    EXPECT_STREQ(a.Manufacturer, "Havrel");
    EXPECT_STREQ(a.ProductFamily, "Corvane Twain Framework");
    EXPECT_STREQ(a.ProductName, "Quorlin");
    // Text fields are zero-filled after the text.
    for (size_t i = std::strlen(a.ProductName); i < sizeof a.ProductName; ++i)
        ASSERT_EQ(a.ProductName[i], 0);

    TWOpenDSM(nullptr); // already open: the argument is not even checked
    EXPECT_EQ(Count("1/4/301 dsm parent=set origin=Quorlin -> 0"), 1) << Log().constData();
}

TEST_F(SessionTest, CloseWithASourceOpenIsRefusedAndKeepsTheManager) {
    OpenSource();
    EXPECT_EQ(ErrorOf([] { TWCloseDSM(); }),
              QStringLiteral("Cannot Close Source Manager: A Source is Currently Open"));
    EXPECT_TRUE(TWIsDSMOpen());
    EXPECT_EQ(Count("1/4/302"), 0);
    EXPECT_TRUE(ErrorOf([] {
                    TWSelectDS();
                }).startsWith(QStringLiteral("Source must not be open (SCANNERS, line ")));
    EXPECT_TRUE(ErrorOf([] {
                    TWGetDefaultDS();
                }).startsWith(QStringLiteral("Source must not be open (SCANNERS, line ")));
    TWCloseDS();
    TWCloseDSM();
    EXPECT_FALSE(TWIsDSMOpen());
    EXPECT_EQ(Count("1/4/302 dsm"), 1);
}

TEST_F(SessionTest, OtherReturnCodesAreShownInFourHexDigits) {
    OpenSource();
    F.SetResult(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, TWRC_CHECKSTATUS);
    EXPECT_EQ(ErrorOf([] { TWEnableDS(true); }),
              QStringLiteral("DSM Call failed in TWEnableDS: Code 0002"));
    EXPECT_FALSE(TWIsDSEnabled()); // a flag changes only after success
}

TEST_F(SessionTest, ConditionCodesGiveTheirTexts) {
    TWOpenDSM(&Window);
    ASSERT_TRUE(TWGetDefaultDS());
    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, TWRC_FAILURE);
    const auto openError = [&](TW_UINT16 condition) {
        F.SetStatus(condition, TWCC_SUCCESS, TWRC_SUCCESS);
        return ErrorOf([] { TWOpenDS(); });
    };
    const QString feeder = QStringLiteral("DSM Error at TWOpenDS:\rTransfer failed because of a "
                                          "feeder error");
    EXPECT_EQ(openError(TWCC_PAPERJAM), feeder);
    EXPECT_EQ(openError(TWCC_PAPERDOUBLEFEED), feeder);
    EXPECT_EQ(openError(7), QStringLiteral("DSM Error at TWOpenDS:\rUnknown Condition 0007"));
    EXPECT_EQ(openError(8), QStringLiteral("DSM Error at TWOpenDS:\rUnknown Condition 0008"));
    EXPECT_EQ(openError(22), QStringLiteral("DSM Error at TWOpenDS:\rUnknown Condition 0016"));
    EXPECT_EQ(openError(0x1ab), QStringLiteral("DSM Error at TWOpenDS:\rUnknown Condition 01AB"));
    EXPECT_FALSE(TWIsDSOpen());

    EXPECT_EQ(TWConditionText(TWCC_SEQERROR),
              QStringLiteral("Illegal operation for current Source Manager\rSource state."));
    EXPECT_EQ(TWConditionText(TWCC_CAPSEQERROR),
              QStringLiteral("Capability has dependencies on other capabilities and \rcannot be "
                             "operated upon at this time."));
    EXPECT_TRUE(TWConditionText(TWCC_BADCAP).endsWith(QStringLiteral("at this time")));
}

TEST_F(SessionTest, StatusThatCannotBeReadLosesTheCondition) {
    TWOpenDSM(&Window);
    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, TWRC_FAILURE);
    F.SetStatus(TWCC_PAPERJAM, TWCC_PAPERJAM, TWRC_FAILURE);
    EXPECT_EQ(ErrorOf([] { TWOpenDS(); }), QStringLiteral("Can't get Status"));
}

TEST_F(SessionTest, SourceCallsAreReportedWithTheSourceCondition) {
    OpenSource();
    F.SetResult(DG_CONTROL, DAT_CAPABILITY, MSG_SET, TWRC_FAILURE);
    F.SetStatus(TWCC_SUCCESS, TWCC_SEQERROR, TWRC_SUCCESS);
    EXPECT_EQ(ErrorOf([] { TWSetXferMech(TTransferKind::File); }),
              QStringLiteral("DS Error at Set Xfer Mech:\rIllegal operation for current Source "
                             "Manager\rSource state."));
    // The container: ICAP_XFERMECH, one value, 16-bit item type, TWSX_FILE.
    EXPECT_EQ(Count("1/1/6 ds cap=103 con=5 type=4 item=1 -> 1"), 1) << Log().constData();
    F.SetResult(DG_CONTROL, DAT_CAPABILITY, MSG_SET, TWRC_SUCCESS);
    TWSetXferMech(TTransferKind::Memory);
    TWSetXferMech(TTransferKind::Native);
    EXPECT_EQ(Count("cap=103 con=5 type=4 item=2"), 1);
    EXPECT_EQ(Count("cap=103 con=5 type=4 item=0"), 1);

    F.SetResult(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, TWRC_FAILURE);
    F.SetStatus(TWCC_SUCCESS, TWCC_BADVALUE, TWRC_SUCCESS);
    EXPECT_EQ(ErrorOf([] { TWSetupFileXfer(QStringLiteral("/tmp/x.bmp")); }),
              QStringLiteral("DS Error at Setup File Xfer:\rData parameter out of supported "
                             "range."));
    EXPECT_EQ(Count("1/7/6 ds format=2 vref=0"), 1);
}

TEST_F(SessionTest, UserInterfaceSendsShowUIWithAllBitsSet) {
    OpenSource();
    TWEnableDS(true);
    EXPECT_TRUE(TWIsDSEnabled());
    TWEnableDS(true); // enabled already: no second call
    TWDisableDS();
    TWDisableDS();
    TWEnableDS(false);
    TWDisableDS();
    EXPECT_EQ(Count("1/9/502 ds ShowUI=FFFF ModalUI=0 -> 0"), 1) << Log().constData();
    EXPECT_EQ(Count("1/9/502 ds ShowUI=0 ModalUI=0 -> 0"), 1);
    EXPECT_EQ(Count("1/9/501 ds ShowUI=FFFF ModalUI=0 -> 0"), 2);
}

TEST_F(SessionTest, SelectionCancelKeepsTheSourceAndSuccessTakesTheNewOne) {
    TWOpenDSM(&Window);
    ASSERT_TRUE(TWGetDefaultDS());
    EXPECT_STREQ(SourceIdentity().ProductName, "fake:default");

    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, TWRC_CANCEL);
    TWSelectDS();
    EXPECT_STREQ(SourceIdentity().ProductName, "fake:default");
    // The dialog is offered the default Source as preselection.
    EXPECT_EQ(Count("1/3/403 dsm preselected=fake:default -> 3"), 1) << Log().constData();

    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, TWRC_SUCCESS);
    TWSelectDS();
    EXPECT_STREQ(SourceIdentity().ProductName, "fake:chosen");

    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, TWRC_CHECKSTATUS);
    EXPECT_EQ(ErrorOf([] { TWSelectDS(); }),
              QStringLiteral("DSM Call failed in TWSelectDS:User Select: Code 0002"));

    // Without any Source the first step fails and no dialog is asked for.
    F.SetResult(DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, TWRC_FAILURE);
    F.SetStatus(TWCC_NODS, TWCC_SUCCESS, TWRC_SUCCESS);
    const int selects = Count("1/3/403");
    EXPECT_EQ(ErrorOf([] { TWSelectDS(); }),
              QStringLiteral("DSM Error at TWSelectDS:Select Default:\rSource Manager unable to "
                             "find the specified Source."));
    EXPECT_EQ(Count("1/3/403"), selects);
    EXPECT_FALSE(TWGetDefaultDS());
    EXPECT_STREQ(SourceIdentity().ProductName, "fake:chosen");
}

TEST_F(SessionTest, EventsWithoutAnOpenSourceAreNotPassedOn) {
    TWOpenDSM(&Window);
    QEvent e(QEvent::User);
    EXPECT_FALSE(TWProcessMessage(&e));
    EXPECT_EQ(Count("1/2/601"), 0);

    ASSERT_TRUE(TWGetDefaultDS());
    TWOpenDS();
    EXPECT_FALSE(TWProcessMessage(&e)); // the manager says: not the Source's
    EXPECT_EQ(Count("1/2/601 ds msg=0 -> 5"), 1);
    F.SetResult(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, TWRC_FAILURE);
    EXPECT_TRUE(TWProcessMessage(&e)); // anything but "not the Source's" is handled
}

TEST_F(SessionTest, TheHookSwallowsOnlyTheSourcesEvents) {
    TCountingWidget w;
    w.Kind = QEvent::Type(QEvent::User + 17);
    QStringList errors;
    TTwainMessageHook hook([&](const QString& m) { errors << m; });
    qApp->installEventFilter(&hook);
    TWOpenDSM(&w);
    ASSERT_TRUE(TWGetDefaultDS());
    TWOpenDS();

    QEvent first(w.Kind);
    QCoreApplication::sendEvent(&w, &first); // not the Source's: delivered
    EXPECT_EQ(w.Seen, 1);
    F.SetResult(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, TWRC_DSEVENT);
    QEvent e(w.Kind);
    QCoreApplication::sendEvent(&w, &e);
    EXPECT_EQ(w.Seen, 1); // the Source's: swallowed

    // An error raised in the hook outside an acquisition goes to the error box.
    F.SetResult(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, TWRC_NOTDSEVENT);
    F.NotifyOnEnable(MSG_CLOSEDSREQ);
    F.SetResult(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, TWRC_CHECKSTATUS);
    TWEnableDS(true);
    ASSERT_TRUE(gdtest::WaitFor([&] { return !errors.isEmpty(); }, 5000));
    EXPECT_EQ(errors.value(0), QStringLiteral("DSM Call failed in TWDisableDS: Code 0002"));
    EXPECT_TRUE(TWIsDSEnabled());
    qApp->removeEventFilter(&hook);
    F.SetResult(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, TWRC_SUCCESS);
}

class AcquireTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        qApp->installEventFilter(&Hook);
        ASSERT_TRUE(Dir.isValid());
        File = Dir.filePath(QStringLiteral("0000ABCD.bmp"));
        TWOpenDSM(&Window);
        ASSERT_TRUE(TWGetDefaultDS());
    }
    void TearDown() override {
        qApp->removeEventFilter(&Hook);
        SessionTest::TearDown();
    }
    QStringList Errors;
    TTwainMessageHook Hook{[this](const QString& m) { Errors << m; }};
    QTemporaryDir Dir;
    QString File;
};

TEST_F(AcquireTest, ATransferEndsDisablesAndClosesTheSource) {
    F.NotifyOnEnable(MSG_XFERREADY);
    EXPECT_TRUE(TWAcquireToFile(&Window, File));
    EXPECT_TRUE(QFile::exists(File));
    EXPECT_FALSE(TWIsDSOpen());
    EXPECT_FALSE(TWIsDSEnabled());
    const QByteArray log = Log();
    // In order: open, mechanism, file, enable, transfer, end, disable, close.
    QList<qsizetype> at;
    for (const char* step :
         {"1/3/401", "1/1/6 ds cap=103", "1/7/6 ds format=2", "1/9/502 ds ShowUI=FFFF",
          "2/105/1 ds -> 6", "1/5/701", "1/9/501", "1/3/402"})
        at << log.indexOf(step);
    for (int i = 0; i < at.size(); ++i)
        ASSERT_GE(at[i], 0) << i << log.constData();
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << log.constData();
    EXPECT_EQ(log.count("1/5/7 "), 0); // nothing pending: no reset
}

TEST_F(AcquireTest, PendingTransfersAreDiscarded) {
    F.NotifyOnEnable(MSG_XFERREADY);
    F.SetEndXferCount(0xFFFF);
    EXPECT_TRUE(TWAcquireToFile(&Window, File));
    EXPECT_EQ(Count("1/5/7 ds count=65535 -> 0"), 1) << Log().constData();
    EXPECT_EQ(Count("2/105/1"), 1);
}

TEST_F(AcquireTest, CloseRequestOrCancelGivesNoFile) {
    F.NotifyOnEnable(MSG_CLOSEDSREQ);
    EXPECT_FALSE(TWAcquireToFile(&Window, File));
    EXPECT_FALSE(QFile::exists(File));
    EXPECT_FALSE(TWIsDSOpen());

    F.NotifyOnEnable(MSG_XFERREADY);
    F.SetResult(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, TWRC_CANCEL);
    EXPECT_FALSE(TWAcquireToFile(&Window, File));
    EXPECT_FALSE(QFile::exists(File)); // the Source's partial file is gone
    EXPECT_FALSE(TWIsDSOpen());
}

TEST_F(AcquireTest, AFileThatExistedBeforeIsNeverRemoved) {
    gdtest::WriteFile(File, "the caller's");
    F.NotifyOnEnable(MSG_CLOSEDSREQ);
    EXPECT_FALSE(TWAcquireToFile(&Window, File));
    EXPECT_EQ(gdtest::ReadFile(File), QByteArray("the caller's"));
}

TEST_F(AcquireTest, AFailedTransferEndsTheAcquisitionWithTheManagersCondition) {
    F.NotifyOnEnable(MSG_XFERREADY);
    F.SetResult(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, TWRC_FAILURE);
    F.SetStatus(TWCC_PAPERJAM, TWCC_SUCCESS, TWRC_SUCCESS);
    EXPECT_EQ(ErrorOf([&] { TWAcquireToFile(&Window, File); }),
              QStringLiteral("DSM Error at File Transfer:\rTransfer failed because of a feeder "
                             "error"));
    EXPECT_FALSE(QFile::exists(File));
    EXPECT_TRUE(Errors.isEmpty()); // raised to the caller, not shown by the hook
    // Left open and enabled, as the error found it.
    EXPECT_TRUE(TWIsDSOpen());
    EXPECT_TRUE(TWIsDSEnabled());
}

TEST_F(AcquireTest, ErrorsBeforeEnablingLeaveTheSourceOpen) {
    F.SetResult(DG_CONTROL, DAT_CAPABILITY, MSG_SET, TWRC_FAILURE);
    F.SetStatus(TWCC_SUCCESS, TWCC_BADVALUE, TWRC_SUCCESS);
    EXPECT_EQ(ErrorOf([&] { TWAcquireToFile(&Window, File); }),
              QStringLiteral("DS Error at Set Xfer Mech:\rData parameter out of supported range."));
    EXPECT_TRUE(TWIsDSOpen());
    EXPECT_FALSE(TWIsDSEnabled());
    // The next acquisition skips the opening.
    F.SetResult(DG_CONTROL, DAT_CAPABILITY, MSG_SET, TWRC_SUCCESS);
    F.NotifyOnEnable(MSG_XFERREADY);
    EXPECT_TRUE(TWAcquireToFile(&Window, File));
    EXPECT_EQ(Count("1/3/401"), 1);
}

TEST_F(AcquireTest, ANameLongerThanTheFieldIsRefusedBeforeAnythingOpens) {
    const QString longName = QDir::tempPath() + u'/' + QString(260, u'a') + QStringLiteral(".bmp");
    EXPECT_TRUE(ErrorOf([&] {
                    TWAcquireToFile(&Window, longName);
                }).startsWith(QStringLiteral("Scan file name longer than 255 characters")));
    EXPECT_EQ(Count("1/3/401"), 0);
    EXPECT_FALSE(TWIsDSOpen());
    // 255 bytes still fit.
    const QString fits = Dir.path() + u'/';
    const QString name = fits + QString(255 - fits.size() - 4, u'b') + QStringLiteral(".bmp");
    ASSERT_EQ(QFile::encodeName(name).size(), 255);
    F.NotifyOnEnable(MSG_XFERREADY);
    EXPECT_TRUE(TWAcquireToFile(&Window, name));
}
