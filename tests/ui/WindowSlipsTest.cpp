// The window's slips, each seen once on a real display: a long path, the tool
// bar's own toggle, the margins' colour, Qt's texts in English, the page list
// keeping the keys.
#include "document/DocTestSupport.h"
#include "printing/Printing.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/PathLine.h"
#include "ui/Translations.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QTranslator>
#include <memory>

using namespace gd;

namespace {

class WindowSlips : public gdtest::WindowTest {
protected:
    void Show() {
        w->show();
        QApplication::processEvents();
    }
    // The status bar shows the text in a label of its own, whole or elided,
    // and both server panels with theirs.
    bool StatusSays(const QString& text) {
        QApplication::processEvents();
        bool said = false;
        for (const TElidedLabel* label : w->statusBar()->findChildren<TElidedLabel*>()) {
            const QString shown = label->ShownText();
            said = said ||
                   (label->isVisible() && label->text() == text && label != Win().StatusPanel2 &&
                    (shown == text ||
                     (shown.endsWith(QChar(0x2026)) && text.startsWith(shown.chopped(1)))));
        }
        return said && Win().StatusPanel1->isVisible() && Win().StatusPanel2->isVisible() &&
               !Win().StatusPanel1->text().isEmpty() && Win().StatusPanel2->text() == ctl;
    }
};

} // namespace

TEST_F(WindowSlips, ALongPathIsElidedInTheMiddleAndNeverWidensTheWindow) {
    // 264 characters of folder, and a 104-character document name.
    docs = dir.path() + u'/' + QString(120, u'd') + u'/' +
           QString(264 - 122 - dir.path().size(), u'e');
    ASSERT_EQ(docs.size(), 264);
    ASSERT_TRUE(QDir().mkpath(docs));
    OpenWindow();
    Show();
    const int width = w->width();
    EXPECT_EQ(width, 523);
    EXPECT_EQ(Win().StaticText->text(), docs + u'/');
    EXPECT_EQ(Win().StaticText->toolTip(), docs + u'/');
    const QString shown = Win().StaticText->ShownText();
    EXPECT_TRUE(shown.startsWith(dir.path().left(4))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(u'/')) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();

    const QByteArray name(104, 'n');
    Cycle({"SHOW=" + name});
    QApplication::processEvents();
    EXPECT_EQ(Win().StaticText->toolTip(), docs + u'/' + QString::fromLatin1(name) + ".tif");
    EXPECT_EQ(w->width(), width);
    EXPECT_LE(w->minimumSizeHint().width(), width);
}

TEST_F(WindowSlips, ToolBarTitleAndItsMenuEntryStayInStep) {
    OpenWindow();
    Show();
    QToolBar* bar = Win().ToolBarImg;
    QAction* item = Win().I.ItemViewToolBar;
    EXPECT_EQ(bar->windowTitle(), QStringLiteral("Панель управления"));
    // The window's own context menu offers the tool bar by its title.
    std::unique_ptr<QMenu> popup(w->createPopupMenu());
    ASSERT_NE(popup, nullptr);
    QAction* own = nullptr;
    for (QAction* a : popup->actions())
        if (a->text() == QStringLiteral("Панель управления"))
            own = a;
    ASSERT_NE(own, nullptr);

    own->trigger();
    EXPECT_FALSE(bar->isVisible());
    EXPECT_FALSE(item->isChecked());
    item->trigger();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(own->isChecked());
    item->trigger();
    EXPECT_FALSE(bar->isVisible());
    EXPECT_FALSE(own->isChecked());
    own->trigger();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(item->isChecked());
}

TEST_F(WindowSlips, MarginsAroundThePageAreSilverWithFitOnAndOff) {
    // A tall narrow page leaves a margin on the right either way.
    ASSERT_EQ(
        gdtest::Run("convert-im6.q16", {"-size", "40x300", "xc:white", docs + "/A.tif"}).exitCode,
        0);
    OpenWindow();
    Show();
    Cycle({"SHOW=A"});
    for (const bool fit : {false, true}) {
        w->SetFitInWindow(fit);
        QApplication::processEvents();
        const QImage seen = Win().ScrollBox->viewport()->grab().toImage();
        ASSERT_GT(seen.width(), 100);
        EXPECT_EQ(QColor(seen.pixel(seen.width() - 10, 10)), QColor(0xC0, 0xC0, 0xC0))
            << "fit " << fit;
        const QPoint page =
            Win().ImageBox->mapTo(Win().ScrollBox->viewport(), Win().ImageBox->DrawRect().center());
        EXPECT_EQ(QColor(seen.pixel(page)), QColor(Qt::white)) << "fit " << fit;
    }
}

TEST_F(WindowSlips, ThePageListKeepsNoKeysOnceItsListHasClosed) {
    doctest::MakePages(docs + "/A.tif", 3);
    OpenWindow();
    Show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    EditDocument("A");
    QComboBox* list = Win().cbxPage;
    const struct {
        const char* what;
        std::vector<Qt::Key> keys; // given to the open list
        int page;
        bool editKept;
    } cases[] = {
        {"closed with Esc", {Qt::Key_Escape}, 0, true},
        {"the page shown chosen again", {Qt::Key_Return}, 0, true},
        {"another page chosen: the edit goes, as with the buttons",
         {Qt::Key_Down, Qt::Key_Return},
         1,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Win().Doc.SetCurrentPage(0);
        ASSERT_TRUE(Run(Win().A.ActionClear));
        QTest::mouseClick(list, Qt::LeftButton);
        ASSERT_TRUE(gdtest::WaitFor([&] { return list->view()->isVisible(); }, 5000));
        for (const Qt::Key key : c.keys)
            QTest::keyClick(static_cast<QWidget*>(nullptr), key); // the open popup's
        ASSERT_TRUE(gdtest::WaitFor([&] { return !list->view()->isVisible(); }, 5000));
        EXPECT_NE(w->focusWidget(), list);
        // The window's next arrow key goes wherever its focus is, not to the list.
        QTest::keyClick(w->windowHandle(), Qt::Key_Down);
        EXPECT_EQ(Win().Doc.PageIndex(), c.page);
        EXPECT_EQ(Win().Doc.Change().picture, c.editKept);
    }
}

TEST_F(WindowSlips, TheStatePanelShowsEveryStateWhole) {
    OpenWindow();
    Show();
    QLabel* panel = Win().StatusPanel1;
    EXPECT_GE(panel->width(), 110);
    for (const QString& state : {TDocServer::kStateActive, TDocServer::kStateEditing,
                                 TDocServer::kStateViewing, TDocServer::kStateStopped}) {
        Win().Host.SetStateText(state);
        EXPECT_LE(panel->fontMetrics().horizontalAdvance(state), panel->contentsRect().width())
            << state.toStdString();
    }
}

TEST_F(WindowSlips, HintsAndWhatPrintPrintsLeaveTheServerPanelsInSight) {
    OpenWindow();
    Show();
    // Opened from the menu bar, as the user does.
    QMenuBar* bar = w->menuBar();
    QAction* title = nullptr;
    for (QAction* a : bar->actions())
        if (a->text() == QStringLiteral("Страница"))
            title = a;
    ASSERT_NE(title, nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(title).center());
    QMenu* page = title->menu();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page));
    QAction* del = nullptr;
    for (QAction* a : page->actions())
        if (a->text() == QStringLiteral("Удалить"))
            del = a;
    ASSERT_NE(del, nullptr);
    QTest::mouseMove(page, page->actionGeometry(del).center());
    EXPECT_TRUE(StatusSays(QStringLiteral("Удалить страницу")));
    while (QApplication::activePopupWidget())
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape);
    EXPECT_FALSE(StatusSays(QStringLiteral("Удалить страницу"))); // gone with the menu

    const QString printing = QStringLiteral("Печать \"A\": страница 1 из 2");
    Win().Printing().StatusText(printing);
    EXPECT_TRUE(StatusSays(printing));
    Win().Printing().StatusText(QString());
    EXPECT_FALSE(StatusSays(printing));
}

TEST_F(WindowSlips, WhyTheServerStoppedShowsUntilItIsSwitchedOnAgain) {
    OpenWindow();
    Show();
    const QString reason = QStringLiteral("Не найден файл \"%1\"").arg(ctl);
    const QString said = QStringLiteral("Сервер остановлен: ") + reason;
    w->Server()->SetServerActive(false); // as the server does, then why
    Win().Host.ServerStopped(reason);
    EXPECT_TRUE(StatusSays(said));
    EXPECT_EQ(Win().StatusPanel1->toolTip(), said);
    Win().Printing().StatusText(QStringLiteral("Печать"));
    EXPECT_FALSE(StatusSays(said));
    Win().Printing().StatusText(QString()); // a message in between, then the reason again
    EXPECT_TRUE(StatusSays(said));

    Win().A.ActionAutoCommand->trigger();
    ASSERT_TRUE(w->Server()->IsActive());
    EXPECT_FALSE(StatusSays(said));
    EXPECT_TRUE(Win().StatusPanel1->toolTip().isEmpty());
}

TEST(QtRussian, QtsOwnDialogsSpeakRussian) {
    std::unique_ptr<QTranslator> translator(InstallQtRussian());
    ASSERT_NE(translator, nullptr) << "qtbase_ru.qm missing (qt6-translations-l10n)";
    QDialogButtonBox box(QDialogButtonBox::Open | QDialogButtonBox::Cancel);
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
    EXPECT_EQ(box.button(QDialogButtonBox::Open)->text(), QStringLiteral("Открыть"));
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* lookIn = dialog.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    ASSERT_NE(lookIn, nullptr);
    EXPECT_NE(lookIn->text(), QStringLiteral("Look in:"));
}
