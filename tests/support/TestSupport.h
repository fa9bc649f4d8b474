#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace gdtest {

QByteArray ReadFile(const QString& path);
void WriteFile(const QString& path, const QByteArray& data);

// Runs a program to its end (at most timeoutMs); returns the exit code, or -1
// when it could not start or did not end in time.
struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
RunResult Run(const QString& program, const QStringList& args, int timeoutMs = 60000,
              const QStringList& extraEnv = {});

// Processes events until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

// A copy of the gdserver binary in its own folder: the settings file and the
// instance name follow the program file's path, so each test gets its own.
QString CopyServerBinary(const QString& folder);

// An X server of the test's own (CI has no display), ended with the object.
// Display() is ":N", or empty when it could not start.
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    const QByteArray& Display() const { return FDisplay; }

private:
    QProcess FProcess;
    QByteArray FDisplay;
};

// SANE's configuration folder of this test process (SANE_CONFIG_DIR, set by
// the test main before any test; libsane keeps the folder it first read).
QString SaneConfigDir();
// Its dll.conf: SANE's test backend only (test.conf with A4 room), or no
// backend at all (the default, so no test waits on real devices).
void UseSaneTestBackend(bool on);

// The window opens the TWAIN Source Manager built here, over a private SANE
// configuration without devices unless a test asks for some.
void UseBuiltScanners();

} // namespace gdtest
