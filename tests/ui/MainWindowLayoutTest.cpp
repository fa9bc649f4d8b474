#include "server/Startup.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowTest.h"
#include "ui/ImageBox.h"
#include "ui/TfrmMain.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace gd;

namespace {

struct WindowRun {
    QTemporaryDir& dir;
    TSettings settings;
    TInstanceLock lock;
    std::unique_ptr<TfrmMain> w;
    QStringList errors;
    explicit WindowRun(QTemporaryDir& d)
        : dir(d), settings(d.filePath("gdserver.ini")), lock("/TEST/" + d.path(), d.path()) {
        settings.LoadSetup();
        QDir().mkpath(d.filePath("docs"));
        w = std::make_unique<TfrmMain>(settings, lock, QStringList{d.filePath("docs")});
        w->ErrorBox = [this](const QString& m) { errors << m; };
    }
    TfrmMainTestAccess Win() { return TfrmMainTestAccess(*w); }
};

QToolButton* ButtonOf(QToolBar* bar, QAction* a) {
    return qobject_cast<QToolButton*>(bar->widgetForAction(a));
}

// One line per entry: caption, shortcut, hint, and "i" for an icon; "-" for a
// separator ("(-)" hidden), submenus indented, widgets by object name.
QString Outline(const QList<QAction*>& actions, const QString& indent = QString()) {
    QString out;
    for (QAction* a : actions) {
        if (a->isSeparator()) {
            out += indent + (a->isVisible() ? "-\n" : "(-)\n");
            continue;
        }
        out += indent + a->text() + '|' + a->shortcut().toString() + '|' + a->statusTip() + '|' +
               (a->icon().isNull() ? "" : "i") + (a->isCheckable() ? "|c" : "") +
               (a->isVisible() ? "" : "|hidden") + '\n';
        if (a->menu())
            out += Outline(a->menu()->actions(), indent + "  ");
    }
    return out;
}

} // namespace

// Captions, order, shortcuts, hints and icons of the menus and the tool bar,
// as the window has always shown them.
TEST(MainWindowLayout, MenusAndToolBarOutline) {
    QTemporaryDir dir;
    WindowRun run(dir);
    EXPECT_EQ(Outline(run.w->menuBar()->actions()), "&Файл|||\n"
                                                    "  Сервер документов||Сервер документов|i|c\n"
                                                    "  -\n"
                                                    "  Импорт...||Импорт из файла|i\n"
                                                    "  Сохранить|Ctrl+S|Сохранить|i\n"
                                                    "  Экспорт в PDF...|Ctrl+E|Экспорт в PDF|\n"
                                                    "  -\n"
                                                    "  Печатать...||Печатать|i\n"
                                                    "  Сканировать...||Сканировать|i\n"
                                                    "  -\n"
                                                    "  Выбрать принтер...|||\n"
                                                    "  Выбрать сканер...|||\n"
                                                    "  -\n"
                                                    "  Вы&ход|||\n"
                                                    "&Правка|||\n"
                                                    "  Отменить|Ctrl+Z|Отменить|\n"
                                                    "  -\n"
                                                    "  Вырезать|Ctrl+X|Вырезать|i\n"
                                                    "  Копировать|Ctrl+C|Копировать|i\n"
                                                    "  Вставить|Ctrl+V|Вставить|i\n"
                                                    "  Очистить|Del|Очистить|\n"
                                                    "  -\n"
                                                    "Страница|||\n"
                                                    "  Предыдущая||Предыдущая страница|i\n"
                                                    "  Следующая||Следующая страница|i\n"
                                                    "  -\n"
                                                    "  Добавить|||\n"
                                                    "    Сканировать...||Сканировать изображение|\n"
                                                    "    Из файла...||Добавить страницу из файла|\n"
                                                    "  Удалить||Удалить страницу|\n"
                                                    "  -\n"
                                                    "  Переместить вверх|Ctrl+Up|"
                                                    "Переместить вверх|i\n"
                                                    "  Переместить вниз|Ctrl+Down|"
                                                    "Переместить вниз|i\n"
                                                    "  Повернуть влево|Ctrl+L|Повернуть влево|i\n"
                                                    "  Повернуть вправо|Ctrl+R|"
                                                    "Повернуть вправо|i\n"
                                                    "  Повернуть на 180°||Повернуть на 180°|\n"
                                                    "  (-)\n"
                                                    "  Свойства...||||hidden\n"
                                                    "&Вид|||\n"
                                                    "  Панель управления||||c\n"
                                                    "  Строка состояния||||c\n"
                                                    "  Миниатюры|F9|Миниатюры|i|c\n"
                                                    "  -\n"
                                                    "  Вписать в окно||Вписать в окно|i|c\n"
                                                    "  По ширине||По ширине||c\n"
                                                    "  Увеличить|Ctrl++|Увеличить|i\n"
                                                    "  Уменьшить|Ctrl+-|Уменьшить|i\n"
                                                    "  Реальный размер|Ctrl+0|"
                                                    "Реальный размер|i\n"
                                                    "  -\n"
                                                    "  Всегда сверху||||c\n"
                                                    "  Настройки...|||\n");
    const QToolBar* bar = run.w->findChild<QToolBar*>();
    ASSERT_NE(bar, nullptr);
    QString tools;
    for (QAction* a : bar->actions())
        tools += a->isSeparator() ? QStringLiteral("-")
                 : bar->widgetForAction(a)->inherits("QToolButton")
                     ? a->text()
                     : bar->widgetForAction(a)->objectName();
    EXPECT_EQ(tools, "Сервер документов-СохранитьПечатать...Сканировать...-ВырезатьКопировать"
                     "Вставить-Вписать в окно-ПредыдущаяcbxPageСледующая-Миниатюры");
    // Ctrl+= too: on most keyboards "+" needs Shift.
    EXPECT_EQ(run.Win().A.ActionZoomIn->shortcuts().value(1), QKeySequence("Ctrl+="));
}

TEST(MainWindowLayout, BuiltInBoundsThenStoredModes) {
    QTemporaryDir dir;
    {
        WindowRun run(dir);
        ASSERT_TRUE(run.w->FormCreate());
        EXPECT_EQ(run.w->geometry(), QRect(277, 138, 523, 508));
        EXPECT_FALSE(run.Win().I.ItemFitInWindow->isChecked());
        EXPECT_FALSE(run.Win().I.ItemStayOnTop->isChecked());
        run.Win().I.ItemFitInWindow->trigger(); // the user fits the page
        EXPECT_TRUE(run.Win().ImageBox->FitInWindow());
        run.w->setGeometry(100, 120, 640, 480);
    } // tear-down writes the layout
    const QByteArray ini = gdtest::ReadFile(dir.filePath("gdserver.ini"));
    EXPECT_TRUE(ini.contains("[Layout]")) << ini.constData();
    EXPECT_TRUE(ini.contains("FitInWindow=1"));
    EXPECT_TRUE(ini.contains("StayOnTop=0"));
    EXPECT_TRUE(ini.contains("[Setup]"));

    WindowRun next(dir);
    ASSERT_TRUE(next.w->FormCreate());
    next.w->show();
    EXPECT_EQ(next.w->geometry(), QRect(100, 120, 640, 480));
    EXPECT_TRUE(next.Win().I.ItemFitInWindow->isChecked());
    EXPECT_TRUE(ButtonOf(next.Win().ToolBarImg, next.Win().I.ItemFitInWindow)->isChecked());
    EXPECT_TRUE(next.Win().ImageBox->FitInWindow());
    EXPECT_TRUE(next.Win().ScrollBox->widgetResizable());
}

TEST(MainWindowLayout, FailedStartUpKeepsTheStoredLayout) {
    QTemporaryDir dir;
    gdtest::WriteFile(
        dir.filePath("gdserver.ini"),
        "[Layout]\nTop=5\nLeft=6\nWidth=700\nHeight=600\nStayOnTop=1\nFitInWindow=0\n");
    {
        TSettings settings(dir.filePath("gdserver.ini"));
        settings.LoadSetup();
        TInstanceLock lock("/TEST/FAIL", dir.path());
        TfrmMain w(settings, lock, {dir.filePath("missing")});
        QStringList errors;
        w.ErrorBox = [&](const QString& m) { errors << m; };
        EXPECT_FALSE(w.FormCreate());
        ASSERT_EQ(errors.size(), 1);
        EXPECT_EQ(errors[0],
                  QStringLiteral("Папка \"%1\" не найдена").arg(dir.filePath("missing")));
    }
    EXPECT_EQ(gdtest::ReadFile(dir.filePath("gdserver.ini")),
              "[Layout]\nTop=5\nLeft=6\nWidth=700\nHeight=600\nStayOnTop=1\nFitInWindow=0\n");
}

TEST(MainWindowLayout, StayOnTopAndViewToggles) {
    QTemporaryDir dir;
    gdtest::WriteFile(dir.filePath("gdserver.ini"), "[Layout]\nStayOnTop=2\n");
    WindowRun run(dir);
    ASSERT_TRUE(run.w->FormCreate());
    run.w->show();
    EXPECT_TRUE(run.Win().I.ItemStayOnTop->isChecked());
    EXPECT_TRUE(run.w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    run.Win().I.ItemStayOnTop->trigger();
    EXPECT_FALSE(run.w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    EXPECT_TRUE(run.Win().ToolBarImg->isVisible());
    run.Win().I.ItemViewToolBar->trigger();
    EXPECT_FALSE(run.Win().ToolBarImg->isVisible());
    EXPECT_FALSE(run.Win().I.ItemViewToolBar->isChecked());
    run.Win().I.ItemViewStatusBar->trigger();
    EXPECT_FALSE(run.Win().I.ItemViewStatusBar->isChecked());

    // The tool button and the menu entry stay in one state.
    run.Win().I.ItemViewToolBar->trigger();
    ButtonOf(run.Win().ToolBarImg, run.Win().I.ItemFitInWindow)->click();
    EXPECT_TRUE(run.Win().I.ItemFitInWindow->isChecked());
    run.Win().I.ItemFitInWindow->trigger();
    EXPECT_FALSE(ButtonOf(run.Win().ToolBarImg, run.Win().I.ItemFitInWindow)->isChecked());
}
