#include "settings/Settings.h"
#include "settings/TfrmSetup.h"
#include "support/TestSupport.h"

#include <QRadioButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace gd;

TEST(SetupDialog, OkWritesAndCancelDiscards) {
    QTemporaryDir dir;
    const QString ini = dir.filePath("gdserver.ini");
    TSettings s(ini);
    s.LoadSetup();
    TfrmSetup dlg(s);
    EXPECT_EQ(dlg.windowTitle(), "Настройки");
    EXPECT_TRUE(dlg.rbtTIF->isChecked());
    EXPECT_TRUE(dlg.rbtSaveOriginal->isChecked());

    dlg.rbtJPG->setChecked(true);
    dlg.reject();
    EXPECT_EQ(s.GetDefFileExt(), "tif");
    EXPECT_FALSE(QFile::exists(ini));

    dlg.LoadControls();
    EXPECT_TRUE(dlg.rbtTIF->isChecked());
    dlg.rbtBMP->setChecked(true);
    dlg.rbtSaveConvert->setChecked(true);
    dlg.btnOKClick();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(s.GetDefFileExt(), "bmp");
    EXPECT_FALSE(s.GetSaveOriginal());
    EXPECT_EQ(gdtest::ReadFile(ini), "[Setup]\nPathIMG=\nDefFileExt=bmp\nConvertDefExt=1\n");
}

TEST(SetupDialog, FailedWriteShowsMessageAndStaysOpen) {
    QTemporaryDir dir;
    gdtest::WriteFile(dir.filePath("file"), "x");
    TSettings s(dir.filePath("file/gdserver.ini"));
    s.LoadSetup();
    TfrmSetup dlg(s);
    QStringList shown;
    dlg.ShowError = [&](const QString& m) { shown << m; };
    dlg.open();
    dlg.rbtBMP->setChecked(true);
    dlg.btnOKClick();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith("Unable to write to "));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(s.GetDefFileExt(), "tif");
    dlg.reject();
}
