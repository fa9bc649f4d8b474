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
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

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

namespace {

constexpr int SanePort = 6566;

// 0: something listens on 127.0.0.1:port; else the connect error.
int ConnectError(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int error = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

} // namespace

TSaned::TSaned() {
    FLock = ::open("/tmp/gdserver-tests-saned.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (FLock >= 0)
        ::flock(FLock, LOCK_EX);
    if (ConnectError(SanePort) == 0) {
        FError =
            QStringLiteral("127.0.0.1:%1 (sane-port) is taken by another server").arg(SanePort);
        return;
    }
    const QString dir = FDir.path();
    WriteFile(dir + QStringLiteral("/dll.conf"), "test\n");
    WriteFile(dir + QStringLiteral("/test.conf"),
              ReadFile(SaneConfigDir() + QStringLiteral("/test.conf")));
    WriteFile(dir + QStringLiteral("/saned.conf"), "127.0.0.1\n");
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), dir);
    FSaned.setProcessEnvironment(env);
    FSaned.setProcessChannelMode(QProcess::MergedChannels);
    // Its own process group, so Stop ends the children serving clients too.
    FSaned.setChildProcessModifier([] { ::setsid(); });
    FSaned.start(QStringLiteral("saned"),
                 {QStringLiteral("-l"), QStringLiteral("-b"), QStringLiteral("127.0.0.1"),
                  QStringLiteral("-p"), QString::number(SanePort), QStringLiteral("-e")});
    if (!FSaned.waitForStarted(10000) ||
        !WaitFor([] { return ConnectError(SanePort) == 0; }, 10000)) {
        FError = QStringLiteral("saned did not start: ") + QString::fromUtf8(FSaned.readAll());
        return;
    }
    // The client side knows the host only; a bounded first connection.
    WriteFile(SaneConfigDir() + QStringLiteral("/dll.conf"), "net\n");
    WriteFile(SaneConfigDir() + QStringLiteral("/net.conf"), "connect_timeout = 5\n127.0.0.1\n");
}

TSaned::~TSaned() {
    Stop();
    QFile::remove(SaneConfigDir() + QStringLiteral("/net.conf"));
    UseSaneTestBackend(false);
    if (FLock >= 0)
        ::close(FLock);
}

void TSaned::Stop() {
    if (FSaned.state() == QProcess::NotRunning)
        return;
    ::kill(-pid_t(FSaned.processId()), SIGKILL);
    FSaned.waitForFinished(10000);
}

void UseBuiltScanners() {
    gd::TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(SaneConfigDir()));
    UseSaneTestBackend(false);
}

} // namespace gdtest
