#include "common/Log.h"

namespace gd {

Q_LOGGING_CATEGORY(lcFailure, "gdserver.failure", QtWarningMsg)

void ReportFailure(const QString& text) {
    QString line = text;
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "))
        .replace(u'\r', u' ')
        .replace(u'\n', u' ');
    qCWarning(lcFailure).noquote() << line;
}

void InstallMessageFormat() {
    qSetMessagePattern(QStringLiteral("%{appname}: %{message}"));
}

} // namespace gd
