#pragma once

#include <QString>

namespace gd {

inline const QString kAppTitle = QStringLiteral("Сервер графических документов");

// The text the standard error box shows: a full stop is added when the last
// character's code is above that of the full stop (after a letter or digit).
QString ErrorBoxText(const QString& message);

// The print job title of a document: "Kvelmar - " and the document name.
QString PrintJobTitle(const QString& docName);

} // namespace gd
