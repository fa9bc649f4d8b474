// The main window composing the document server.
#include "server/DocServer.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
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
    ASSERT_TRUE(frm.FormCreate());
    ASSERT_NE(frm.Server(), nullptr);
    EXPECT_EQ(frm.StatusPanel1->text(), TDocServer::kStateStopped);
    EXPECT_EQ(frm.StatusPanel2->text(), ctl);
    EXPECT_FALSE(frm.A.ActionAutoCommand->isChecked());

    // The switch is the first entry of "&Файл" and the first tool button.
    const QMenu* file = frm.menuBar()->actions().first()->menu();
    EXPECT_EQ(file->title(), QStringLiteral("&Файл"));
    EXPECT_EQ(file->actions().first(), frm.A.ActionAutoCommand);
    EXPECT_EQ(frm.ToolBarImg->actions().first(), frm.A.ActionAutoCommand);
    EXPECT_EQ(frm.A.ActionAutoCommand->text(), QStringLiteral("Сервер документов"));

    frm.FormActivate();
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(frm.A.ActionAutoCommand->isChecked());
    EXPECT_TRUE(frm.Server()->IsActive());
    EXPECT_EQ(frm.StatusPanel1->text(), TDocServer::kStateActive);
    EXPECT_EQ(frm.StaticText->text(), dir.filePath("docs") + u'/');

    // The timer serves the file.
    WriteFile(ctl, ">" + QByteArray(34, 'a') + "TEST=\r\n");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(ctl).startsWith('<'); }, 10000));

    frm.A.ActionAutoCommand->trigger();
    EXPECT_FALSE(frm.Server()->IsActive());
    EXPECT_FALSE(frm.A.ActionAutoCommand->isChecked());
    EXPECT_EQ(frm.StatusPanel1->text(), TDocServer::kStateStopped);
    WriteFile(ctl, ">" + QByteArray(34, 'b') + "TEST=\r\n");
    QTest::qWait(400);
    EXPECT_TRUE(ReadFile(ctl).startsWith('>')); // off: cycles do nothing

    frm.A.ActionAutoCommand->trigger();
    EXPECT_TRUE(frm.Server()->IsActive());
    EXPECT_TRUE(WaitFor([&] { return ReadFile(ctl).startsWith('<'); }, 10000));

    frm.FormDestroy();
    EXPECT_FALSE(frm.Server()->TimerActive());
}
