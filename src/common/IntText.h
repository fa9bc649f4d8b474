#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace gd {

// Integer text as the clients' platform reads it: leading blanks, an optional
// sign, decimal or hexadecimal after "$", "0x" or "0X", nothing after the
// digits. Decimal must fit 32 bits signed; hexadecimal up to 8 digits wraps.
std::optional<int> ParseInt(QByteArrayView text);
inline std::optional<int> ParseInt(const QString& text) {
    return ParseInt(QByteArrayView(text.toUtf8()));
}
inline std::optional<int> ParseInt(const QByteArray& text) {
    return ParseInt(QByteArrayView(text));
}

} // namespace gd
