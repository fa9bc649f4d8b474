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

    // The open document, which the window owns. The server hands it names
    // one way and never asks them back. ShowDocument makes `name` the current
    // document (empty: none), reads its file when one exists and brings the
    // window back from minimised; true when a file was opened. NameDocument
    // makes `name` current and leaves the pages shown as they are.
    // CloseDocument leaves no current name and an empty view; HideDocument
    // also minimises the window. HasSource: the document's pages come from a
    // file (asked again when a held request ends: a save may have deleted it).
    virtual bool ShowDocument(const QString& name) {
        (void)name;
        return false;
    }
    virtual void NameDocument(const QString& name) { (void)name; }
    virtual void CloseDocument() {}
    virtual void HideDocument() {}
    virtual bool HasSource() { return false; }

    // The printer of PRINT; none refuses every PRINT.
    virtual IDocPrinter* DocPrinter() { return nullptr; }

    // False where nobody can see the window (a headless platform): SHOW and
    // EDIT are then refused, and where the server would switch itself off
    // to wait for the user it calls UserNeeded with the reason instead, so
    // that the program can end and be restarted.
    virtual bool HasUser() { return true; }
    virtual void UserNeeded(const QString& reason) { (void)reason; }
    // The server switched itself off (a cycle failed, its control file went):
    // why, for the window to show. Not called when the user switched it off.
    virtual void ServerStopped(const QString& reason) { (void)reason; }
};

} // namespace gd
