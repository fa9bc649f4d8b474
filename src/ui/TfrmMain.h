#pragma once

#include "document/OpenDocument.h"
#include "server/ServerHost.h"
#include "server/Startup.h"
#include "ui/ActionRules.h"
#include "ui/PageView.h"
#include "ui/PathLine.h"

#include <QMainWindow>
#include <functional>
#include <memory>
#include <span>

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QScrollArea;
class QSplitter;
class QToolBar;

namespace gd {

class TSettings;
class TfrmSetup;
class TfrmProp;
class TImageBox;
class TInstanceLock;
class TPrinting;
class TDocServer;
class TEditor;
class TOrganiser;
class TPageArea;
class TThumbnailPanel;

// Every user command of the window, each a QAction bound to its menu entries
// and tool buttons; enable rules run when the window becomes idle.
struct TMainActions {
    QAction* ActionAutoCommand = nullptr;
    QAction* ActionImport = nullptr;
    QAction* ActionSave = nullptr;
    QAction* ActionScan = nullptr;
    QAction* ActionPrint = nullptr;
    QAction* ActionExportPdf = nullptr;
    QAction* ActionCut = nullptr;
    QAction* ActionCopy = nullptr;
    QAction* ActionPaste = nullptr;
    QAction* ActionClear = nullptr;
    QAction* ActionPageDel = nullptr;
    QAction* ActionPageAddFromFile = nullptr;
    QAction* ActionPageAddFromScan = nullptr;
    QAction* ActionUndo = nullptr;
    QAction* ActionPagePrior = nullptr;
    QAction* ActionPageNext = nullptr;
    // The page organiser.
    QAction* ActionThumbnails = nullptr;
    QAction* ActionZoomIn = nullptr;
    QAction* ActionZoomOut = nullptr;
    QAction* ActionActualSize = nullptr;
    QAction* ActionFitWidth = nullptr;
    QAction* ActionMoveUp = nullptr;
    QAction* ActionMoveDown = nullptr;
    QAction* ActionRotateLeft = nullptr;
    QAction* ActionRotateRight = nullptr;
    QAction* ActionRotate180 = nullptr;
};

// Menu entries and controls that are not actions.
struct TMainItems {
    QAction* ItemPrinter = nullptr;
    QAction* ItemScaner = nullptr;
    QAction* ItemExit = nullptr;
    QMenu* ItemPageAdd = nullptr;
    QAction* ItemPageProperty = nullptr;
    QAction* ItemViewToolBar = nullptr;
    QAction* ItemViewStatusBar = nullptr;
    QAction* ItemFitInWindow = nullptr;
    QAction* ItemStayOnTop = nullptr;
    QAction* ItemSetup = nullptr;
};

// The main window: a thin shell that composes the server, the open document
// and the dialogs. The logic lives in the objects it owns. Its actions,
// widgets and open document are its own: tests reach them through
// TfrmMainTestAccess (tests/support/WindowTest.h).
class TfrmMain : public QMainWindow, private IServerHost {
    Q_OBJECT
public:
    TfrmMain(TSettings& settings, TInstanceLock& instanceLock, QStringList args,
             QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Start-up steps; false (after the message was shown) when start-up failed
    // and the program must end without serving.
    bool FormCreate();
    void FormActivate();
    bool FormCloseQuery();
    void FormDestroy();

    // Seams for tests: the standard error box and the folder choice.
    std::function<void(const QString&)> ErrorBox;
    SelectDocFolderFn SelectDocFolder;
    // Set by the program where nobody can see the window: the server then
    // refuses SHOW and EDIT, and calls this with the reason where it would
    // switch itself off to wait for the user.
    std::function<void(const QString& reason)> EndWithoutUser;
    // The PDF file to export to (the save dialog; empty on Cancel), given the
    // suggested path.
    std::function<QString(const QString& suggested)> ChooseExportFile;

    // The view modes of the "Вид" menu.
    void SetFitInWindow(bool checked);
    void SetStayOnTop(bool checked);
    void ReadLayout();
    void WriteLayout();

    // The document server, created by FormCreate.
    TDocServer* Server() const { return FServer.get(); }
    bool Activated() const { return FActivated; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    friend struct TfrmMainTestAccess;

    void BuildActions();
    void BuildWindow();
    bool SelectDocFolderDialog(const QString& caption, QString& folder);
    TfrmSetup& GetFrmSetup();
    TfrmProp& GetFrmProp();
    TPageView& View() { return *FView; }
    TEditor& Editor() { return *FEditor; }
    TPrinting& Printing() { return *FPrinting; }
    // Runs a handler; a gd::Exception goes to the error box (a SilentAbort
    // nowhere). False when it failed.
    bool Guarded(const std::function<void()>& action);

    // The command table (TfrmMain.cpp) and the enable rules, run when the
    // window goes idle.
    template <class TOwner> struct TCommandRow;
    static std::span<const TCommandRow<TMainActions>> ActionRows();
    static std::span<const TCommandRow<TMainItems>> ItemRows();
    template <class TOwner>
    void CreateCommands(std::span<const TCommandRow<TOwner>> rows, TOwner& owner);
    void UpdateActions();
    void ActionAutoCommandUpdate();
    TWindowState WindowState(); // what the enable rules read

    // The table's handlers longer than a line. Print sends the document's
    // source bitmap after the print dialog.
    void ActionPrintExecute();
    void ActionCutExecute();
    void ActionSaveExecute();
    void ItemPagePropertyClick();
    void ItemViewStatusBarClick();
    void ItemSetupClick();
    void cbxPageCloseUp(int index);

    // Shows the open document after each of its changes.
    void DocumentChanged();

    // IServerHost: the document side of the server's commands, and the rest.
    bool ShowDocument(const QString& name) override;
    void NameDocument(const QString& name) override { FDoc.SetName(name); }
    void CloseDocument() override { FDoc.Close(); }
    void HideDocument() override;
    bool HasSource() override { return FDoc.HasSource(); }
    void ShowError(const QString& message) override;
    void SetStateText(const QString& text) override;
    void SetCtlFileText(const QString& text) override;
    void SetSwitchChecked(bool on) override;
    void ProcessEvents() override;
    void CloseMainWindow() override;
    IDocPrinter* DocPrinter() override;
    bool HasUser() override { return !EndWithoutUser; }
    void UserNeeded(const QString& reason) override;
    void ServerStopped(const QString& reason) override;
    void ShowPrintStatus(const QString& text);
    // The message panel: the hint under the mouse, else what PRINT prints,
    // else why the server switched itself off; hidden when there is none.
    void ShowStatusMessage();

    TMainActions A;
    TMainItems I;
    QToolBar* ToolBarImg = nullptr;
    TPathLine* StaticText = nullptr;
    QScrollArea* ScrollBox = nullptr;
    TImageBox* ImageBox = nullptr;
    TPageArea* PageArea = nullptr;
    QSplitter* Splitter = nullptr; // the thumbnails beside the page area
    TThumbnailPanel* Thumbnails = nullptr;
    QComboBox* cbxPage = nullptr;
    QLabel* StatusPanel1 = nullptr;
    TElidedLabel* StatusPanel2 = nullptr;
    TElidedLabel* StatusMessage = nullptr; // beside the server's panels, never over them
    QLabel* StatusPanel3 = nullptr;        // the zoom
    int FThumbnailsWidth = 160;

    TSettings& FSettings;
    TInstanceLock& FInstanceLock;
    QStringList FArgs;
    TCommandLine FCommandLine;
    // The open document; the view draws it, the editor edits it.
    TOpenDocument FDoc;
    TfrmSetup* FSetup = nullptr;
    TfrmProp* FProp = nullptr;
    std::unique_ptr<TDocServer> FServer;
    std::unique_ptr<TPageView> FView;
    std::unique_ptr<TPrinting> FPrinting;
    // The application-wide message hook of the scanner layer, while installed.
    std::unique_ptr<QObject> FTwainHook;
    bool FCreated = false;
    bool FActivated = false;
    bool FDestroyed = false;
    bool FClipboardHasImage = false;
    QString FHint, FPrintStatus, FStopReason; // what StatusMessage may show
    std::unique_ptr<TEditor> FEditor;
    std::unique_ptr<TOrganiser> FOrganiser;
};

} // namespace gd
