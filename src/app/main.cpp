#include "app/SignalBridge.h"
#include "common/Log.h"
#include "common/Messages.h"
#include "server/CtlFile.h"
#include "server/Startup.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "ui/ErrorBox.h"
#include "ui/TfrmMain.h"
#include "ui/Translations.h"

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <cstdlib>
#include <unistd.h>

namespace {

QString ProgramPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? QFile::decodeName(QByteArray(buf, n)) : QString();
}

// Ends a headless run where a user would be needed, so that a service
// manager can start the program again.
constexpr int kExitNeedsUser = 3;

} // namespace

int main(int argc, char** argv) {
    // Qt aborts when it has no display to talk to; run headless instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const QString programPath = ProgramPath();
    gd::TInstanceLock instanceLock(gd::ComputeInstanceName(programPath));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("gdserver"));
    QApplication::setDesktopFileName(QStringLiteral("gdserver"));
    gd::InstallMessageFormat();
    gd::InstallQtRussian();

    gd::TSettings settings(gd::SettingsFilePath(programPath));
    settings.LoadSetup();

    // From argv (Qt took its own options out): names keep their bytes.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(gd::DecodeFileName(argv[i]));
    int exitCode = 0;
    {
        gd::TfrmMain frmMain(settings, instanceLock, args);
        if (gd::IsOffscreenPlatform()) {
            // Nobody can answer a dialog or switch the server on again.
            frmMain.SelectDocFolder = [](const QString&, QString&) { return false; };
            frmMain.EndWithoutUser = [](const QString& reason) {
                gd::ShowErrorBox(nullptr, QStringLiteral("Сервер остановлен: ") + reason);
                QCoreApplication::exit(kExitNeedsUser);
            };
        }
        if (!frmMain.FormCreate())
            return EXIT_FAILURE;

        gd::SignalBridge signals_;
        QObject::connect(&signals_, &gd::SignalBridge::terminationRequested, &frmMain,
                         &QWidget::close);
        frmMain.show();
        exitCode = QApplication::exec();
    }
    instanceLock.ReleaseInstanceLock();
    return exitCode;
}
