#include "ErrorBox.h"

#include "common/Messages.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>

namespace gd {

bool IsOffscreenPlatform() {
    return QGuiApplication::platformName() == QStringLiteral("offscreen") ||
           QGuiApplication::platformName() == QStringLiteral("minimal");
}

void ShowErrorBox(QWidget* parent, const QString& message) {
    QString text = ErrorBoxText(message);
    QString oneLine = text;
    oneLine.replace(QStringLiteral("\r\n"), QStringLiteral(" "))
        .replace(u'\r', u' ')
        .replace(u'\n', u' ');
    std::fprintf(stderr, "%s\n", oneLine.toUtf8().constData());
    std::fflush(stderr);
    if (IsOffscreenPlatform())
        return;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QMessageBox box(QMessageBox::Critical, kAppTitle, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace gd
