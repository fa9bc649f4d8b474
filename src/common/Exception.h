#pragma once

#include <QString>
#include <exception>

namespace gd {

// The program's base error: every failure it raises carries a message that is
// shown to the user as it stands.
class Exception : public std::exception {
public:
    explicit Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toUtf8()) {}
    const QString& message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

// A failure that must not reach the user (the caller turns it into a result).
class SilentAbort : public Exception {
public:
    SilentAbort() : Exception(QString()) {}
};

} // namespace gd
