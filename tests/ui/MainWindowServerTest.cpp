// The main window composing the document server.
#include "server/DocServer.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

using namespace gd;
using namespace gdtest;

TEST(MainWindowServer, ActivationSwitchesOnAndTheSwitchTogglesIt) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("docs"));
    const QString ctl = dir.filePath("client.ctl");
    WriteFile(ctl, "");
    TSettings settings(dir.filePath("gdserver.ini"));
    TInstanceLock lock(QStringLiteral("MAIN-WINDOW-SERVER-TEST"), dir.path());
    TfrmMain frm(settings, lock, {dir.filePath("docs"), ctl});
    QStringList errors;
    frm.ErrorBox = [&](const QString& m) { errors << m; };
    TfrmMainTestAccess in(frm);
    ASSERT_TRUE(frm.FormCreate());
    ASSERT_NE(frm.Server(), nullptr);
    EXPECT_EQ(in.StatusPanel1->text(), TDocServer::kStateStopped);
    EXPECT_EQ(in.StatusPanel2->text(), ctl);
    EXPECT_FALSE(in.A.ActionAutoCommand->isChecked());

    // The switch is the first entry of "&Файл" and the first tool button.
    const QMenu* file = frm.menuBar()->actions().first()->menu();
    EXPECT_EQ(file->title(), QStringLiteral("&Файл"));
    EXPECT_EQ(file->actions().first(), in.A.ActionAutoCommand);
    EXPECT_EQ(in.ToolBarImg->actions().first(), in.A.ActionAutoCommand);
    EXPECT_EQ(in.A.ActionAutoCommand->text(), QStringLiteral("Сервер документов"));

    frm.FormActivate();
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(in.A.ActionAutoCommand->isChecked());
    EXPECT_TRUE(frm.Server()->IsActive());
    EXPECT_EQ(in.StatusPanel1->text(), TDocServer::kStateActive);
    EXPECT_EQ(in.StaticText->text(), dir.filePath("docs") + u'/');

    // The timer serves the file.
    WriteFile(ctl, ">" + QByteArray(34, 'a') + "TEST=\r\n");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(ctl).startsWith('<'); }, 10000));

    in.A.ActionAutoCommand->trigger();
    EXPECT_FALSE(frm.Server()->IsActive());
    EXPECT_FALSE(in.A.ActionAutoCommand->isChecked());
    EXPECT_EQ(in.StatusPanel1->text(), TDocServer::kStateStopped);
    WriteFile(ctl, ">" + QByteArray(34, 'b') + "TEST=\r\n");
    QTest::qWait(400);
    EXPECT_TRUE(ReadFile(ctl).startsWith('>')); // off: cycles do nothing

    in.A.ActionAutoCommand->trigger();
    EXPECT_TRUE(frm.Server()->IsActive());
    EXPECT_TRUE(WaitFor([&] { return ReadFile(ctl).startsWith('<'); }, 10000));

    frm.FormDestroy();
    EXPECT_FALSE(frm.Server()->TimerActive());
}
