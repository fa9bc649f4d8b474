#pragma once

// A main window of its own in a temporary folder, serving a client-bound
// control file (or the documents folder), for in-process tests.

#include "server/DocServer.h"
#include "server/ProtocolSupport.h"
#include "server/Startup.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "support/WindowAccess.h"

#include <QAction>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace gdtest {

class WindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString docs = dir.filePath(QStringLiteral("docs"));
    QString ctl = dir.filePath(QStringLiteral("client.ctl"));
    std::unique_ptr<gd::TSettings> settings;
    std::unique_ptr<gd::TInstanceLock> lock;
    std::unique_ptr<gd::TfrmMain> w;
    QStringList errors; // what the standard error box was given

    void SetUp() override {
        QDir().mkpath(docs);
        WriteFile(ctl, "");
    }

    // Creates the window as start-up does and switches the server on.
    void OpenWindow(bool clientBound = true) {
        settings = std::make_unique<gd::TSettings>(dir.filePath(QStringLiteral("gdserver.ini")));
        settings->LoadSetup();
        lock =
            std::make_unique<gd::TInstanceLock>(QStringLiteral("/TEST/") + dir.path(), dir.path());
        QStringList args{docs};
        if (clientBound)
            args << ctl;
        w = std::make_unique<gd::TfrmMain>(*settings, *lock, args);
        w->ErrorBox = [this](const QString& m) { errors << m; };
        ASSERT_TRUE(w->FormCreate());
        w->Server()->SetServerActive(true);
    }

    // The window's insides.
    gd::TfrmMainTestAccess Win() { return gd::TfrmMainTestAccess(*w); }

    // Runs an action the way the user does: only when its rule enables it.
    bool Run(QAction* action) {
        Win().UpdateActions();
        if (!action->isEnabled())
            return false;
        action->trigger();
        Win().UpdateActions();
        return true;
    }

    // Appends the requests to the control file and runs one cycle.
    void Cycle(const QList<QByteArray>& commands, const QString& file = QString()) {
        const QString path = file.isEmpty() ? ctl : file;
        QByteArray data = ReadFile(path);
        for (const QByteArray& c : commands)
            data += Request(c, "t" + QByteArray::number(data.size())) + "\r\n";
        WriteFile(path, data);
        w->Server()->ExecuteCommands();
    }

    // An EDIT request for the name, held at once.
    void EditDocument(const QByteArray& name) {
        Cycle({"EDIT=" + name});
        ASSERT_TRUE(w->Server()->EditMode());
    }

    // The marks of the file's lines, in order.
    QByteArray Marks(const QString& file = QString()) {
        QByteArray marks;
        for (const QByteArray& line : ReadFile(file.isEmpty() ? ctl : file).split('\n'))
            if (!line.trimmed().isEmpty())
                marks += line[0];
        return marks;
    }
};

} // namespace gdtest
