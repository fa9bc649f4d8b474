#include "TfrmMain.h"

#include "common/Exception.h"
#include "common/Messages.h"
#include "document/Loading.h"
#include "printing/BitmapPrintImage.h"
#include "printing/Printing.h"
#include "scanning/Scanners.h"
#include "server/DocServer.h"
#include "settings/Settings.h"
#include "settings/TfrmSetup.h"
#include "ui/ActionRules.h"
#include "ui/Editor.h"
#include "ui/ErrorBox.h"
#include "ui/ImageBox.h"
#include "ui/Layout.h"
#include "ui/Organiser.h"
#include "ui/PageArea.h"
#include "ui/PathLine.h"
#include "ui/TfrmProp.h"
#include "ui/ThumbnailPanel.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMimeData>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace gd {
namespace {

// The theme's icon when it has the name, else the bundled one, so the tool
// bar is never blank.
QIcon Icon(const QString& name) {
    return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/%1.svg").arg(name)));
}

// Adds the entries in order; null stands for a separator.
void AddEntries(QWidget* target, std::initializer_list<QAction*> entries) {
    for (QAction* a : entries) {
        if (!a) {
            a = new QAction(target);
            a->setSeparator(true);
        }
        target->addAction(a);
    }
}

} // namespace

TfrmMain::TfrmMain(TSettings& settings, TInstanceLock& instanceLock, QStringList args,
                   QWidget* parent)
    : QMainWindow(parent), FSettings(settings), FInstanceLock(instanceLock), FArgs(std::move(args)),
      FDoc([this] { return FSettings.GetDefFileExt(); }) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(kAppTitle);
    setGeometry(277, 138, 523, 508);
    setWindowIcon(
        QIcon::fromTheme(QStringLiteral("gdserver"), Icon(QStringLiteral("network-server"))));
    ErrorBox = [this](const QString& message) { ShowErrorBox(this, message); };
    SelectDocFolder = [this](const QString& caption, QString& folder) {
        return SelectDocFolderDialog(caption, folder);
    };
    ChooseExportFile = [this](const QString& suggested) {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт в PDF"), suggested,
                                            QStringLiteral("PDF (*.pdf)"));
    };
    BuildActions();
    BuildWindow();
    FView = std::make_unique<TPageView>(FDoc, *ImageBox, *cbxPage);
    FOrganiser =
        std::make_unique<TOrganiser>(FDoc, *Thumbnails, *PageArea,
                                     [this](const std::function<void()>& f) { return Guarded(f); });
    FDoc.Changed = [this] { DocumentChanged(); };
    connect(cbxPage, &QComboBox::activated, this, &TfrmMain::cbxPageCloseUp);
    FEditor = std::make_unique<TEditor>(FDoc);
    FEditor->ChooseFile = [this] { return ChooseImageFile(this); };
    // Asking the clipboard at every idle moment would cost a round trip to
    // its owner; its offer is noted when it changes instead.
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        auto note = [this, clipboard] {
            const QMimeData* data = clipboard->mimeData();
            FClipboardHasImage = data && data->hasImage();
        };
        connect(clipboard, &QClipboard::dataChanged, this, note);
        note();
    }
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &TfrmMain::UpdateActions);
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}

// One row per command: the action is created, given its texts, shortcut and
// icon, connected to its handler (through Guarded) and, when a rule names it,
// enabled by UpdateActions. A new command is one row here and one rule in
// ComputeActionStates.
template <class TOwner> struct TfrmMain::TCommandRow {
    QAction* TOwner::*Member;
    const char16_t* Caption;
    const char16_t* Hint; // tool tip and status tip; empty: none
    QKeyCombination Shortcut;
    const char* IconName; // freedesktop name, with a bundled fallback; empty: none
    std::function<void(TfrmMain&)> Handler; // null: none
    bool TActionStates::*EnabledBy;         // null: not ruled
    int Flags;
};

namespace {
enum : int { Checkable = 1, Checked = 2, Hidden = 4 };
constexpr QKeyCombination kNoKey;
} // namespace

std::span<const TfrmMain::TCommandRow<TMainActions>> TfrmMain::ActionRows() {
    using S = TActionStates;
    using M = TMainActions;
    static const TCommandRow<M> rows[] = {
        {&M::ActionAutoCommand, u"Сервер документов", u"Сервер документов", kNoKey,
         "network-server",
         [](TfrmMain& w) {
             if (w.FServer)
                 w.FServer->SetServerActive(!w.FServer->IsActive());
         },
         &S::autoCommand, Checkable},
        {&M::ActionImport, u"Импорт...", u"Импорт из файла", kNoKey, "document-open",
         [](TfrmMain& w) { w.FEditor->Import(); }, &S::import, 0},
        {&M::ActionSave, u"Сохранить", u"Сохранить", Qt::CTRL | Qt::Key_S, "document-save",
         &TfrmMain::ActionSaveExecute, &S::save, 0},
        {&M::ActionScan, u"Сканировать...", u"Сканировать", kNoKey, "scanner",
         [](TfrmMain& w) { w.FEditor->Scan(&w, true); }, &S::scan, 0},
        {&M::ActionPrint, u"Печатать...", u"Печатать", kNoKey, "document-print",
         &TfrmMain::ActionPrintExecute, &S::print, 0},
        {&M::ActionExportPdf, u"Экспорт в PDF...", u"Экспорт в PDF", Qt::CTRL | Qt::Key_E, "",
         [](TfrmMain& w) { w.FEditor->ExportPdf(w.ChooseExportFile, &w); }, &S::exportPdf, 0},
        {&M::ActionCut, u"Вырезать", u"Вырезать", Qt::CTRL | Qt::Key_X, "edit-cut",
         &TfrmMain::ActionCutExecute, &S::cut, 0},
        {&M::ActionCopy, u"Копировать", u"Копировать", Qt::CTRL | Qt::Key_C, "edit-copy",
         [](TfrmMain& w) { w.FEditor->Copy(); }, &S::copy, 0},
        {&M::ActionPaste, u"Вставить", u"Вставить", Qt::CTRL | Qt::Key_V, "edit-paste",
         [](TfrmMain& w) { w.FEditor->Paste(); }, &S::paste, 0},
        {&M::ActionClear, u"Очистить", u"Очистить", QKeyCombination(Qt::Key_Delete), "",
         [](TfrmMain& w) { w.FEditor->Clear(); }, &S::clear, 0},
        {&M::ActionPageDel, u"Удалить страницу", u"Удалить страницу", kNoKey, "",
         [](TfrmMain& w) {
             if (!w.FOrganiser->DeleteSelection())
                 w.FEditor->PageDel();
         },
         &S::pageDel, 0},
        {&M::ActionPageAddFromFile, u"Из файла...", u"Добавить страницу из файла", kNoKey, "",
         [](TfrmMain& w) { w.FEditor->PageAddFromFile(); }, &S::pageAddFromFile, 0},
        {&M::ActionPageAddFromScan, u"Сканировать изображение...", u"Сканировать изображение",
         kNoKey, "", [](TfrmMain& w) { w.FEditor->Scan(&w, false); }, &S::pageAddFromScan, 0},
        {&M::ActionUndo, u"Отменить", u"Отменить", Qt::CTRL | Qt::Key_Z, "",
         [](TfrmMain& w) { w.FDoc.Reload(); }, &S::undo, 0},
        {&M::ActionPagePrior, u"Предыдущая", u"Предыдущая страница", kNoKey, "go-previous",
         [](TfrmMain& w) { w.FDoc.SetCurrentPage(w.FDoc.PageIndex() - 1); }, &S::pagePrior, 0},
        {&M::ActionPageNext, u"Следующая", u"Следующая страница", kNoKey, "go-next",
         [](TfrmMain& w) { w.FDoc.SetCurrentPage(w.FDoc.PageIndex() + 1); }, &S::pageNext, 0},
        {&M::ActionThumbnails, u"Миниатюры", u"Миниатюры", Qt::Key_F9, "view-list-icons",
         [](TfrmMain& w) { w.Thumbnails->setVisible(w.A.ActionThumbnails->isChecked()); },
         &S::thumbnails, Checkable},
        {&M::ActionZoomIn, u"Увеличить", u"Увеличить", Qt::CTRL | Qt::Key_Plus, "zoom-in",
         [](TfrmMain& w) { w.PageArea->ZoomIn(); }, &S::zoomIn, 0},
        {&M::ActionZoomOut, u"Уменьшить", u"Уменьшить", Qt::CTRL | Qt::Key_Minus, "zoom-out",
         [](TfrmMain& w) { w.PageArea->ZoomOut(); }, &S::zoomOut, 0},
        {&M::ActionActualSize, u"Реальный размер", u"Реальный размер", Qt::CTRL | Qt::Key_0,
         "zoom-original", [](TfrmMain& w) { w.PageArea->ActualSize(); }, &S::actualSize, 0},
        {&M::ActionFitWidth, u"По ширине", u"По ширине", kNoKey, "",
         [](TfrmMain& w) {
             if (w.A.ActionFitWidth->isChecked())
                 w.PageArea->SetFitWidth();
             else
                 w.PageArea->SetZoom(w.PageArea->Zoom());
         },
         &S::fitWidth, Checkable},
        {&M::ActionMoveUp, u"Переместить вверх", u"Переместить вверх", Qt::CTRL | Qt::Key_Up,
         "go-up", [](TfrmMain& w) { w.FOrganiser->MoveUp(); }, &S::movePageUp, 0},
        {&M::ActionMoveDown, u"Переместить вниз", u"Переместить вниз", Qt::CTRL | Qt::Key_Down,
         "go-down", [](TfrmMain& w) { w.FOrganiser->MoveDown(); }, &S::movePageDown, 0},
        {&M::ActionRotateLeft, u"Повернуть влево", u"Повернуть влево", Qt::CTRL | Qt::Key_L,
         "object-rotate-left", [](TfrmMain& w) { w.FOrganiser->Rotate(TRotation::Left); },
         &S::rotateLeft, 0},
        {&M::ActionRotateRight, u"Повернуть вправо", u"Повернуть вправо", Qt::CTRL | Qt::Key_R,
         "object-rotate-right", [](TfrmMain& w) { w.FOrganiser->Rotate(TRotation::Right); },
         &S::rotateRight, 0},
        {&M::ActionRotate180, u"Повернуть на 180°", u"Повернуть на 180°", kNoKey, "",
         [](TfrmMain& w) { w.FOrganiser->Rotate(TRotation::Half); }, &S::rotate180, 0},
    };
    return rows;
}

std::span<const TfrmMain::TCommandRow<TMainItems>> TfrmMain::ItemRows() {
    using M = TMainItems;
    static const TCommandRow<M> rows[] = {
        {&M::ItemPrinter, u"Выбрать принтер...", u"", kNoKey, "",
         [](TfrmMain& w) {
             if (w.FPrinting)
                 w.FPrinting->ItemPrinterClick(&w);
         },
         nullptr, 0},
        {&M::ItemScaner, u"Выбрать сканер...", u"", kNoKey, "", [](TfrmMain&) { TWSelectDS(); },
         nullptr, 0},
        {&M::ItemExit, u"Вы&ход", u"", kNoKey, "", [](TfrmMain& w) { w.close(); }, nullptr, 0},
        {&M::ItemPageProperty, u"Свойства...", u"", kNoKey, "", &TfrmMain::ItemPagePropertyClick,
         nullptr, Hidden},
        // Its check follows the tool bar's visibility (BuildWindow). A checkable
        // entry's check has changed when its handler runs.
        {&M::ItemViewToolBar, u"Панель управления", u"", kNoKey, "", nullptr, nullptr,
         Checkable | Checked},
        {&M::ItemViewStatusBar, u"Строка состояния", u"", kNoKey, "",
         &TfrmMain::ItemViewStatusBarClick, nullptr, Checkable | Checked},
        {&M::ItemFitInWindow, u"Вписать в окно", u"Вписать в окно", kNoKey, "zoom-fit-best",
         [](TfrmMain& w) { w.SetFitInWindow(w.I.ItemFitInWindow->isChecked()); }, nullptr,
         Checkable},
        {&M::ItemStayOnTop, u"Всегда сверху", u"", kNoKey, "",
         [](TfrmMain& w) { w.SetStayOnTop(w.I.ItemStayOnTop->isChecked()); }, nullptr, Checkable},
        {&M::ItemSetup, u"Настройки...", u"", kNoKey, "", &TfrmMain::ItemSetupClick, nullptr, 0},
    };
    return rows;
}

template <class TOwner>
void TfrmMain::CreateCommands(std::span<const TCommandRow<TOwner>> rows, TOwner& owner) {
    for (const TCommandRow<TOwner>& row : rows) {
        auto* a = new QAction(QString::fromUtf16(row.Caption), this);
        owner.*row.Member = a;
        if (const QString hint = QString::fromUtf16(row.Hint); !hint.isEmpty()) {
            a->setToolTip(hint);
            a->setStatusTip(hint);
        }
        if (row.Shortcut.toCombined() != 0)
            a->setShortcut(QKeySequence(row.Shortcut));
        if (*row.IconName)
            a->setIcon(Icon(QString::fromLatin1(row.IconName)));
        a->setCheckable(row.Flags & Checkable);
        a->setChecked(row.Flags & Checked);
        a->setVisible(!(row.Flags & Hidden));
        if (row.Handler)
            connect(a, &QAction::triggered, this,
                    [this, handler = row.Handler] { Guarded([&] { handler(*this); }); });
    }
}

void TfrmMain::BuildActions() {
    CreateCommands(ActionRows(), A);
    CreateCommands(ItemRows(), I);
    A.ActionZoomIn->setShortcuts({Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal});
}

void TfrmMain::ItemViewStatusBarClick() {
    statusBar()->setVisible(!statusBar()->isVisible());
    I.ItemViewStatusBar->setChecked(statusBar()->isVisible());
}

void TfrmMain::ItemSetupClick() {
    TfrmSetup& dlg = GetFrmSetup();
    dlg.LoadControls();
    dlg.exec();
}

void TfrmMain::BuildWindow() {
    QMenuBar* bar = menuBar();
    AddEntries(bar->addMenu(QStringLiteral("&Файл")),
               {A.ActionAutoCommand, nullptr, A.ActionImport, A.ActionSave, A.ActionExportPdf,
                nullptr, A.ActionPrint, A.ActionScan, nullptr, I.ItemPrinter, I.ItemScaner, nullptr,
                I.ItemExit});
    AddEntries(
        bar->addMenu(QStringLiteral("&Правка")),
        {A.ActionUndo, nullptr, A.ActionCut, A.ActionCopy, A.ActionPaste, A.ActionClear, nullptr});

    QMenu* page = bar->addMenu(QStringLiteral("Страница"));
    AddEntries(page, {A.ActionPagePrior, A.ActionPageNext, nullptr});
    I.ItemPageAdd = page->addMenu(QStringLiteral("Добавить"));
    I.ItemPageAdd->setEnabled(false);
    // Entries of their own captions that run an action, follow its state and
    // show its hint.
    auto entryFor = [this](QMenu* menu, const QString& caption, QAction* action) {
        QAction* entry = menu->addAction(caption);
        entry->setStatusTip(action->statusTip());
        connect(entry, &QAction::triggered, action, &QAction::trigger);
        connect(action, &QAction::changed, entry,
                [entry, action] { entry->setEnabled(action->isEnabled()); });
    };
    entryFor(I.ItemPageAdd, QStringLiteral("Сканировать..."), A.ActionPageAddFromScan);
    I.ItemPageAdd->addAction(A.ActionPageAddFromFile);
    entryFor(page, QStringLiteral("Удалить"), A.ActionPageDel);
    AddEntries(page, {nullptr, A.ActionMoveUp, A.ActionMoveDown, A.ActionRotateLeft,
                      A.ActionRotateRight, A.ActionRotate180});
    page->addSeparator()->setVisible(false);
    page->addAction(I.ItemPageProperty);

    AddEntries(bar->addMenu(QStringLiteral("&Вид")),
               {I.ItemViewToolBar, I.ItemViewStatusBar, A.ActionThumbnails, nullptr,
                I.ItemFitInWindow, A.ActionFitWidth, A.ActionZoomIn, A.ActionZoomOut,
                A.ActionActualSize, nullptr, I.ItemStayOnTop, I.ItemSetup});

    ToolBarImg = addToolBar(I.ItemViewToolBar->text()); // its title in the window's context menu
    ToolBarImg->setObjectName(QStringLiteral("ToolBarImg"));
    ToolBarImg->setMovable(false);
    ToolBarImg->setFloatable(false);
    ToolBarImg->setIconSize(QSize(16, 16));
    AddEntries(ToolBarImg, {A.ActionAutoCommand, nullptr, A.ActionSave, A.ActionPrint, A.ActionScan,
                            nullptr, A.ActionCut, A.ActionCopy, A.ActionPaste, nullptr,
                            I.ItemFitInWindow, nullptr, A.ActionPagePrior});
    cbxPage = new QComboBox(ToolBarImg);
    cbxPage->setObjectName(QStringLiteral("cbxPage"));
    cbxPage->setFixedWidth(42 + 16);
    // Never the keyboard focus (so Tab skips it too): the drop-down list has
    // its own, and once it closes, by a choice, Esc or a click elsewhere, an
    // arrow key must not page on from the list and drop an edit unasked. A
    // page is chosen only in the list (cbxPageCloseUp).
    cbxPage->setFocusPolicy(Qt::NoFocus);
    cbxPage->setEnabled(false);
    ToolBarImg->addWidget(cbxPage);
    AddEntries(ToolBarImg, {A.ActionPageNext, nullptr, A.ActionThumbnails});

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 1, 0, 0);
    layout->setSpacing(3);
    StaticText = new TPathLine(central);
    StaticText->setObjectName(QStringLiteral("StaticText"));
    StaticText->setFixedHeight(17);
    layout->addWidget(StaticText);
    Splitter = new QSplitter(Qt::Horizontal, central);
    Splitter->setChildrenCollapsible(false);
    Thumbnails = new TThumbnailPanel(Splitter);
    Thumbnails->setVisible(false); // the first-run window keeps its classic look
    ScrollBox = PageArea = new TPageArea(Splitter);
    ImageBox = PageArea->ImageBox();
    Splitter->setStretchFactor(1, 1);
    layout->addWidget(Splitter, 1);
    setCentralWidget(central);
    connect(Splitter, &QSplitter::splitterMoved, this,
            [this] { FThumbnailsWidth = Splitter->sizes().constFirst(); });
    // The zoom's mode shows in the exclusive checks, its percentage below.
    connect(PageArea, &TPageArea::ZoomChanged, this, [this](double zoom) {
        I.ItemFitInWindow->setChecked(PageArea->ZoomMode() == TZoomMode::FitInWindow);
        A.ActionFitWidth->setChecked(PageArea->ZoomMode() == TZoomMode::FitWidth);
        StatusPanel3->setText(QString::number(qRound(zoom)) + u'%');
    });

    StatusPanel1 = new QLabel(this);
    // Its 110 pixels, or its longest state text where the font needs more.
    int stateWidth = 110;
    for (const QString& state : {TDocServer::kStateActive, TDocServer::kStateEditing,
                                 TDocServer::kStateViewing, TDocServer::kStateStopped})
        stateWidth = std::max(stateWidth, StatusPanel1->fontMetrics().horizontalAdvance(state));
    StatusPanel1->setFixedWidth(stateWidth);
    // The text changes at every cycle in folder mode; its length must not
    // relayout the status bar each time (an elided label asks for no room).
    StatusPanel2 = new TElidedLabel(Qt::ElideMiddle, this);
    statusBar()->addWidget(StatusPanel1);
    statusBar()->addWidget(StatusPanel2, 1);
    // The status bar's own messages would hide every panel: hints and the
    // other messages take two thirds of the control file's room instead.
    StatusMessage = new TElidedLabel(Qt::ElideRight, this);
    StatusMessage->setVisible(false);
    statusBar()->addWidget(StatusMessage, 2);
    StatusPanel3 = new QLabel(QStringLiteral("100%"), this);
    StatusPanel3->setMinimumWidth(48);
    statusBar()->addWidget(StatusPanel3);
    statusBar()->setSizeGripEnabled(true);

    // The menu entry and the tool bar's own toggle (the window's context
    // menu) stay in step both ways.
    connect(I.ItemViewToolBar, &QAction::toggled, ToolBarImg, &QWidget::setVisible);
    connect(ToolBarImg, &QToolBar::visibilityChanged, I.ItemViewToolBar, &QAction::setChecked);
}

void TfrmMain::SetFitInWindow(bool checked) {
    I.ItemFitInWindow->setChecked(checked);
    PageArea->SetFitInWindow(checked);
}

void TfrmMain::SetStayOnTop(bool checked) {
    I.ItemStayOnTop->setChecked(checked);
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == checked)
        return;
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, checked);
    if (shown)
        show();
}

void TfrmMain::ReadLayout() {
    const TLayout l = gd::ReadLayout(FSettings.Ini(), {.bounds = geometry()});
    setGeometry(l.bounds);
    SetStayOnTop(l.stayOnTop);
    SetFitInWindow(l.fitInWindow);
    FThumbnailsWidth = l.thumbnailsWidth;
    Splitter->setSizes({FThumbnailsWidth, std::max(1, l.bounds.width() - FThumbnailsWidth)});
    A.ActionThumbnails->setChecked(l.thumbnails);
    Thumbnails->setVisible(l.thumbnails);
}

void TfrmMain::WriteLayout() {
    gd::WriteLayout(FSettings.Ini(),
                    {geometry(), I.ItemStayOnTop->isChecked(), I.ItemFitInWindow->isChecked(),
                     A.ActionThumbnails->isChecked(), FThumbnailsWidth});
}

bool TfrmMain::SelectDocFolderDialog(const QString& caption, QString& folder) {
    const QString chosen = QFileDialog::getExistingDirectory(this, caption, folder);
    if (chosen.isEmpty())
        return false;
    folder = chosen;
    return true;
}

bool TfrmMain::Guarded(const std::function<void()>& action) {
    try {
        action();
        return true;
    } catch (const SilentAbort&) {
    } catch (const Exception& e) {
        ErrorBox(e.message());
    }
    return false;
}

void TfrmMain::ActionCutExecute() {
    // Each half runs only when its own action is enabled at that moment; a
    // failed copy stops the cut before the page is cleared.
    UpdateActions();
    if (A.ActionCopy->isEnabled())
        FEditor->Copy();
    UpdateActions();
    if (A.ActionClear->isEnabled())
        FEditor->Clear();
}

void TfrmMain::ActionSaveExecute() {
    TSaveOptions options;
    options.defaultExt = FSettings.GetDefFileExt();
    options.keepOriginal = FSettings.GetSaveOriginal();
    options.jpegQuality = FSettings.GetJpegQuality();
    FEditor->Save(options, this);
}

void TfrmMain::ItemPagePropertyClick() {
    const int index = FDoc.PageIndex();
    if (index < 0)
        return;
    const TPageProperties p = GetPageProperties(*FDoc.Pages().Get(index));
    TfrmProp& dlg = GetFrmProp();
    dlg.SetProperties(p.PixelFormat, p.Flags, p.HorizontalResolution);
    dlg.exec();
}

TfrmProp& TfrmMain::GetFrmProp() {
    if (!FProp)
        FProp = new TfrmProp(this);
    return *FProp;
}

TfrmSetup& TfrmMain::GetFrmSetup() {
    if (!FSetup) {
        FSetup = new TfrmSetup(FSettings, this);
        FSetup->ShowError = [this](const QString& m) { ErrorBox(m); };
    }
    return *FSetup;
}

bool TfrmMain::FormCreate() {
    FCreated = Guarded([this] {
        FCommandLine = ParseCommandLine(FArgs, FSettings, SelectDocFolder);
        FDoc.SetFolder(FCommandLine.FDocFolder);
        StaticText->SetPath(FCommandLine.FDocFolder);
        StatusPanel2->setText(FCommandLine.FCtlFile);
        // Every event reaches the scanner layer first; then the Source
        // Manager opens with this window, which receives its notifications.
        auto hook = std::make_unique<TTwainMessageHook>([this](const QString& m) { ErrorBox(m); });
        qApp->installEventFilter(hook.get());
        FTwainHook = std::move(hook);
        TWOpenDSM(static_cast<QWidget*>(this));
        I.ItemScaner->setEnabled(TWIsDSMOpen() && TWGetDefaultDS());
        I.ItemPrinter->setEnabled(TCurrentPrinter::AnyInstalled());
        FPrinting = std::make_unique<TPrinting>(I.ItemPrinter->isEnabled());
        FPrinting->StatusText = [this](const QString& text) { ShowPrintStatus(text); };
        FServer = std::make_unique<TDocServer>(static_cast<IServerHost&>(*this), FCommandLine,
                                               [this] { return FSettings.GetDefFileExt(); });
        FServer->UpdateStatusText();
        ActionAutoCommandUpdate();
        ReadLayout();
    });
    return FCreated;
}

void TfrmMain::FormActivate() {
    if (FActivated || !FCreated)
        return;
    FActivated = true;
    Guarded([this] { FInstanceLock.CheckSingleInstance(); });
    if (FInstanceLock.IsHeld())
        FServer->SetServerActive(true);
    else
        UserNeeded(kRunningServerFound);
}

bool TfrmMain::FormCloseQuery() {
    if (FServer)
        FServer->FinishHeldCommand(kMarkFailed);
    return true;
}

void TfrmMain::FormDestroy() {
    if (FDestroyed)
        return;
    FDestroyed = true;
    if (FServer)
        FServer->StopTimer();
    if (FTwainHook) {
        Guarded([] { TWCloseDSM(); });
        qApp->removeEventFilter(FTwainHook.get());
        FTwainHook.reset();
    }
    // A start-up that failed never applied the stored layout, so it must not
    // overwrite it with the built-in bounds.
    if (FCreated)
        Guarded([this] { WriteLayout(); });
}

void TfrmMain::ActionAutoCommandUpdate() {
    A.ActionAutoCommand->setEnabled(FServer != nullptr &&
                                    ComputeActionStates(WindowState()).autoCommand);
}

TWindowState TfrmMain::WindowState() {
    TWindowState s;
    s.editMode = FServer && FServer->EditMode();
    s.imageChanged = FDoc.Change().picture;
    s.modified = FDoc.Change().pages;
    s.pageCount = FDoc.PageCount();
    s.pageIndex = FDoc.PageIndex();
    s.serverActive = A.ActionAutoCommand->isChecked();
    s.printerAvailable = I.ItemPrinter->isEnabled();
    s.scannerAvailable = I.ItemScaner->isEnabled();
    s.pictureShown = ImageBox->HasPicture();
    s.clipboardHasImage = FClipboardHasImage;
    s.canPrintSource = FDoc.HasSource();
    if (const std::vector<int> selection = FOrganiser->Selection(); !selection.empty()) {
        s.selectionFirst = selection.front();
        s.selectionLast = selection.back();
        s.selectionCount = int(selection.size());
    }
    return s;
}

void TfrmMain::UpdateActions() {
    if (!FServer)
        return;
    const TActionStates a = ComputeActionStates(WindowState());
    for (const TCommandRow<TMainActions>& row : ActionRows())
        if (row.EnabledBy)
            (A.*row.Member)->setEnabled(a.*row.EnabledBy);
    I.ItemPageAdd->setEnabled(a.pageAddMenu);
    cbxPage->setEnabled(a.pageList);
    FOrganiser->SetEditMode(FServer->EditMode());
}

void TfrmMain::cbxPageCloseUp(int index) {
    if (index != FDoc.PageIndex())
        FDoc.SetCurrentPage(index);
}

void TfrmMain::DocumentChanged() {
    StaticText->SetPath(FDoc.Name().isEmpty() ? FCommandLine.FDocFolder : FDoc.FileName());
    View().Show();
    FOrganiser->DocumentChanged();
}

bool TfrmMain::ShowDocument(const QString& name) {
    const bool opened = FDoc.Open(name);
    if (isMinimized())
        showNormal();
    if (!IsOffscreenPlatform()) { // nothing to raise there, and Qt warns each time
        raise();
        activateWindow();
    }
    return opened;
}

void TfrmMain::HideDocument() {
    FDoc.Close();
    showMinimized();
}

void TfrmMain::ShowError(const QString& message) {
    ErrorBox(message);
}

// Every cycle sets both panels; an unchanged text must not cost a repaint
// eight times a second while the server idles.
void TfrmMain::SetStateText(const QString& text) {
    if (StatusPanel1->text() != text)
        StatusPanel1->setText(text);
}

void TfrmMain::SetCtlFileText(const QString& text) {
    if (StatusPanel2->text() != text)
        StatusPanel2->SetText(text);
}

void TfrmMain::SetSwitchChecked(bool on) {
    A.ActionAutoCommand->setChecked(on);
    ActionAutoCommandUpdate();
    if (on && !FStopReason.isEmpty()) {
        FStopReason.clear();
        StatusPanel1->setToolTip(QString());
        ShowStatusMessage();
    }
}

void TfrmMain::ActionPrintExecute() {
    // Disabled without a source: pages only scanned have no file to print.
    if (!FPrinting || !FDoc.HasSource())
        return;
    TBitmapPrintImage image(*FDoc.Source());
    FPrinting->ActionPrintExecute(this, FDoc.Name(), image, ErrorBox);
}

IDocPrinter* TfrmMain::DocPrinter() {
    return FPrinting.get();
}

void TfrmMain::UserNeeded(const QString& reason) {
    if (EndWithoutUser)
        EndWithoutUser(reason);
}

// Until the server is switched on again; the state panel's tool tip keeps it
// while a hint takes the message panel.
void TfrmMain::ServerStopped(const QString& reason) {
    FStopReason = TDocServer::kStateStopped + QStringLiteral(": ") + reason;
    StatusPanel1->setToolTip(FStopReason);
    ShowStatusMessage();
}

// What PRINT is printing; empty when it is done. Laid out and painted at
// once: a job runs inside a command cycle without the event loop.
void TfrmMain::ShowPrintStatus(const QString& text) {
    FPrintStatus = text;
    ShowStatusMessage();
    statusBar()->layout()->activate();
    statusBar()->repaint();
}

void TfrmMain::ShowStatusMessage() {
    const QString& text = !FHint.isEmpty()          ? FHint
                          : !FPrintStatus.isEmpty() ? FPrintStatus
                                                    : FStopReason;
    if (StatusMessage->text() != text)
        StatusMessage->SetText(text);
    StatusMessage->setVisible(!text.isEmpty());
}

void TfrmMain::ProcessEvents() {
    QCoreApplication::processEvents();
}

void TfrmMain::CloseMainWindow() {
    // After the cycle has ended and its marks are written.
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

bool TfrmMain::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) { // not to the status bar's own message
        FHint = static_cast<QStatusTipEvent*>(e)->tip();
        ShowStatusMessage();
        return true;
    }
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return QMainWindow::event(e);
}

void TfrmMain::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // Without a window manager (or on the offscreen platform) the window may
    // never be activated; the first show then counts as the activation.
    QTimer::singleShot(0, this, &TfrmMain::FormActivate);
}

void TfrmMain::closeEvent(QCloseEvent* e) {
    if (!FormCloseQuery()) {
        e->ignore();
        return;
    }
    e->accept();
}

} // namespace gd
