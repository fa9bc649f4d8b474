#pragma once

#include "server/PrintCommand.h"

#include <QString>

namespace gd {

// What the document server needs of its window, and its only way to it. The
// main window implements it; tests use a fake. The server calls it on the GUI
// thread only.
class IServerHost {
public:
    virtual ~IServerHost() = default;

    // The standard error box (returns when the user has closed it).
    virtual void ShowError(const QString& message) = 0;
    // The path line above the page view.
    virtual void SetPathLine(const QString& text) = 0;
    // First status panel: the server's state text.
    virtual void SetStateText(const QString& text) = 0;
    // Second status panel: the control file of the current cycle.
    virtual void SetCtlFileText(const QString& text) = 0;
    // The server switch (menu entry and tool button follow the action).
    virtual void SetSwitchChecked(bool on) = 0;
    // Lets pending user-interface events run; called during the waits for a
    // control file locked by its client.
    virtual void ProcessEvents() = 0;
    // Closes the main window as its close box does (EXIT).
    virtual void CloseMainWindow() = 0;

    // The open document. HasSource: the page list has a source bitmap (a file
    // existed for the name). ReloadDocument reads the current document's file
    // again (or empties the view); ShowDocument does that and brings the
    // window back from minimised; HideDocument closes the document, empties
    // the view and minimises the window.
    virtual bool HasSource() { return false; }
    virtual void ReloadDocument() {}
    virtual void ShowDocument() {}
    virtual void HideDocument() {}

    // The printer of PRINT; none refuses every PRINT.
    virtual IDocPrinter* DocPrinter() { return nullptr; }

    // False where nobody can see the window (a headless platform): SHOW and
    // EDIT are then refused, and where the server would switch itself off
    // to wait for the user it calls UserNeeded with the reason instead, so
    // that the program can end and be restarted.
    virtual bool HasUser() { return true; }
    virtual void UserNeeded(const QString& reason) { (void)reason; }
};

} // namespace gd
