#pragma once

#include "server/ServerHost.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <sys/types.h>

namespace gdtest {

// A request line: mark, 34 client characters made from the tag, command text.
QByteArray Request(const QByteArray& command, const QByteArray& tag = "id", char mark = '>');

// The window as the server sees it, recording what it was told.
struct FakeHost : gd::IServerHost {
    QString Error, StateText, CtlFileText;
    bool SwitchChecked = false;
    int Closes = 0;
    // The document as handed over: its name, and how many SHOWs opened it.
    QString DocName;
    int Shows = 0;
    bool Source = false; // what HasSource answers
    std::function<void()> OnDocName;
    void ShowError(const QString& m) override { Error = m; }
    void NameDocument(const QString& name) override {
        DocName = name;
        if (OnDocName)
            OnDocName();
    }
    bool ShowDocument(const QString& name) override {
        NameDocument(name);
        ++Shows;
        return Source;
    }
    void CloseDocument() override { DocName.clear(); }
    void HideDocument() override { DocName.clear(); }
    bool HasSource() override { return Source; }
    void SetStateText(const QString& t) override { StateText = t; }
    void SetCtlFileText(const QString& t) override { CtlFileText = t; }
    void SetSwitchChecked(bool on) override { SwitchChecked = on; }
    void ProcessEvents() override { QCoreApplication::processEvents(); }
    void CloseMainWindow() override { ++Closes; }
    bool User = true;
    QStringList UserNeededFor; // the reasons given without a user
    bool HasUser() override { return User; }
    void UserNeeded(const QString& reason) override { UserNeededFor << reason; }
};

// Another process holding an exclusive flock on a file until it is ended.
class LockHolder {
public:
    explicit LockHolder(const QString& path, int seconds = 60);
    ~LockHolder() { Release(); }
    void Release();

private:
    pid_t FPid = -1;
};

} // namespace gdtest
