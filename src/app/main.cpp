#include "app/SignalBridge.h"
#include "common/Messages.h"
#include "server/CtlFile.h"
#include "server/Startup.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "ui/TfrmMain.h"

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

    gd::TSettings settings(gd::SettingsFilePath(programPath));
    settings.LoadSetup();

    // From argv (Qt took its own options out): names keep their bytes.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(gd::DecodeFileName(argv[i]));
    int exitCode = 0;
    {
        gd::TfrmMain frmMain(settings, instanceLock, args);
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
