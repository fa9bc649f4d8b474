#include "TestSupport.h"

#include "scanning/Scanners.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

namespace gdtest {

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(data);
}

RunResult Run(const QString& program, const QStringList& args, int timeoutMs,
              const QStringList& extraEnv) {
    RunResult r;
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : extraEnv) {
        const qsizetype eq = kv.indexOf(u'=');
        env.insert(kv.left(eq), kv.mid(eq + 1));
    }
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

QString CopyServerBinary(const QString& folder) {
    const QString target = folder + QStringLiteral("/gdserver");
    QFile::remove(target);
    QFile::copy(QStringLiteral(GD_SERVER_EXE), target);
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                      QFileDevice::ExeGroup);
    // Libraries the program loads from its own folder travel with it.
    const QDir built(QFileInfo(QStringLiteral(GD_SERVER_EXE)).absolutePath());
    for (const QString& lib : built.entryList({QStringLiteral("*.so")}, QDir::Files))
        QFile::copy(built.filePath(lib), folder + u'/' + lib);
    return target;
}

Xvfb::Xvfb() {
    FProcess.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
    if (!FProcess.waitForStarted(5000))
        return;
    QByteArray out;
    QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired() && FProcess.state() == QProcess::Running) {
        FProcess.waitForReadyRead(200);
        out += FProcess.readAllStandardOutput();
    }
    if (out.contains('\n'))
        FDisplay = ':' + out.trimmed();
}

Xvfb::~Xvfb() {
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished();
    }
}

QString SaneConfigDir() {
    static QTemporaryDir dir;
    return dir.path();
}

void UseSaneTestBackend(bool on) {
    const QString dir = SaneConfigDir();
    WriteFile(dir + QStringLiteral("/dll.conf"), on ? QByteArray("test\n") : QByteArray());
    QByteArrayList lines = ReadFile(QStringLiteral("/etc/sane.d/test.conf")).split('\n');
    for (QByteArray& l : lines)
        if (l.startsWith("geometry_max"))
            l = "geometry_max 300.0";
    WriteFile(dir + QStringLiteral("/test.conf"), lines.join('\n'));
}

void UseBuiltScanners() {
    gd::TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(SaneConfigDir()));
    UseSaneTestBackend(false);
}

} // namespace gdtest
