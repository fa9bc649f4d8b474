#include "Messages.h"

namespace gd {

QString ErrorBoxText(const QString& message) {
    QString text = message;
    if (!text.isEmpty() && text.back().unicode() > u'.')
        text += u'.';
    return text;
}

QString PrintJobTitle(const QString& docName) {
    return QStringLiteral("Kvelmar - ") + docName;
}

} // namespace gd
