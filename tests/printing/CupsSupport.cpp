#include "CupsSupport.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <arpa/inet.h>
#include <csignal>
#include <cups/cups.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gdtest {

QString SetUpCupsPdf() {
    const RunResult r = Run(QStringLiteral(GD_SOURCE_DIR "/scripts/services.d/cups"), {}, 120000);
    if (r.exitCode != 0)
        return QStringLiteral("scripts/services.d/cups failed: ") + QString::fromUtf8(r.err);
    const RunResult d = Run(QStringLiteral("lpstat"), {QStringLiteral("-d")});
    if (!d.out.contains("system default destination: PDF"))
        return QStringLiteral("PDF is not the default printer: ") +
               QString::fromUtf8(d.out + d.err);
    return QString();
}

TCupsLock::TCupsLock() {
    FFd = ::open("/tmp/gdserver-tests-cups.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (FFd >= 0)
        ::flock(FFd, LOCK_EX);
}

TCupsLock::~TCupsLock() {
    if (FFd >= 0)
        ::close(FFd);
}

namespace {

// The jobs a printer or a scheduler lists (IPP Get-Jobs), each with the
// attributes the tests read.
std::vector<TCupsJob> GetJobs(http_t* http, const char* uri, const char* resource,
                              const char* which) {
    std::vector<TCupsJob> jobs;
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    static const char* const attrs[] = {"job-id", "job-name", "copies", "job-state"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr,
                  attrs);
    ipp_t* response = cupsDoRequest(http, request, resource);
    if (!response)
        return jobs;
    TCupsJob job;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        const char* name = ippGetName(a);
        if (!name) { // group separator: one job ends
            if (job.id)
                jobs.push_back(job);
            job = TCupsJob();
            continue;
        }
        const QByteArray n(name);
        if (n == "job-id")
            job.id = ippGetInteger(a, 0);
        else if (n == "job-name")
            job.name = QString::fromUtf8(ippGetString(a, 0, nullptr));
        else if (n == "copies")
            job.copies = ippGetInteger(a, 0);
        else if (n == "job-state")
            job.state = ippGetInteger(a, 0);
    }
    if (job.id)
        jobs.push_back(job);
    ippDelete(response);
    return jobs;
}

} // namespace

std::vector<TCupsJob> CupsJobs() {
    return GetJobs(CUPS_HTTP_DEFAULT, "ipp://localhost/", "/", "all");
}

int LastCupsJobId() {
    int last = 0;
    for (const TCupsJob& j : CupsJobs())
        last = std::max(last, j.id);
    return last;
}

std::optional<TCupsJob> WaitForJob(int afterId, const QString& name, int copies, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        for (const TCupsJob& j : CupsJobs())
            if (j.id > afterId && j.name == name && (copies == 0 || j.copies == copies) &&
                j.state >= IPP_JSTATE_CANCELED)
                return j;
        QThread::msleep(100);
    }
    return std::nullopt;
}

QString CupsPdfOutput(int jobId) {
    QString out;
    QFile conf(QStringLiteral("/etc/cups/cups-pdf.conf"));
    if (conf.open(QIODevice::ReadOnly))
        for (const QByteArray& line : conf.readAll().split('\n'))
            if (line.startsWith("Out "))
                out = QString::fromUtf8(line.mid(4).trimmed());
    const QStringList files =
        QDir(out).entryList({QStringLiteral("*-job_%1.pdf").arg(jobId)}, QDir::Files);
    return files.isEmpty() ? QString() : QDir(out).filePath(files.first());
}

int PdfPageCount(const QString& pdf) {
    const RunResult r = Run(QStringLiteral("pdfinfo"), {pdf});
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^Pages:\\s+(\\d+)"), QRegularExpression::MultilineOption)
            .match(QString::fromUtf8(r.out));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

std::vector<int> PdfImageBits(const QString& pdf) {
    std::vector<int> bits;
    const RunResult r = Run(QStringLiteral("pdfimages"), {QStringLiteral("-list"), pdf});
    const QStringList lines = QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // Two heading lines, then: page num type width height color comp bpc ...
    for (int i = 2; i < lines.size(); ++i)
        bits.push_back(lines[i].simplified().split(QLatin1Char(' ')).value(7).toInt());
    return bits;
}

bool MakeG4Tiff(const QString& path, const std::vector<QSize>& pages) {
    QStringList parts;
    for (size_t i = 0; i < pages.size(); ++i) {
        const QString part = path + QStringLiteral(".%1.tif").arg(i);
        const QSize s = pages[i];
        // A black frame and a numbered block, so pages differ.
        const RunResult r =
            Run(QStringLiteral("convert-im6.q16"),
                {QStringLiteral("-size"), QStringLiteral("%1x%2").arg(s.width()).arg(s.height()),
                 QStringLiteral("xc:white"), QStringLiteral("-fill"), QStringLiteral("black"),
                 QStringLiteral("-draw"),
                 QStringLiteral("rectangle %1,10 %2,%3")
                     .arg(10 + 40 * int(i))
                     .arg(40 + 40 * int(i))
                     .arg(60),
                 QStringLiteral("-monochrome"), QStringLiteral("-density"), QStringLiteral("300"),
                 QStringLiteral("-compress"), QStringLiteral("Group4"), part});
        if (r.exitCode != 0)
            return false;
        parts << part;
    }
    const RunResult r = Run(QStringLiteral("tiffcp"), parts + QStringList{path});
    for (const QString& p : parts)
        QFile::remove(p);
    return r.exitCode == 0;
}

TServed::TServed() {
    QDir().mkpath(Docs);
}

TServed::~TServed() {
    if (Server.state() != QProcess::NotRunning) {
        ::kill(Server.processId(), SIGTERM);
        if (!Server.waitForFinished(20000))
            Server.kill();
    }
}

bool TServed::Start(const QStringList& args, const QStringList& extraEnv) {
    Server.setProgram(CopyServerBinary(Dir.path()));
    Server.setArguments(args);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString& e : extraEnv)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    Server.setProcessEnvironment(env);
    Server.start();
    return Server.waitForStarted(10000);
}

QByteArray Client(const QString& ctl, const QString& command) {
    const RunResult r = Run(QStringLiteral(GD_CLIENT_EXE),
                            {ctl, command, QStringLiteral("--wait"), QStringLiteral("90")}, 120000);
    return r.out.trimmed();
}

namespace {

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool Answers(int port) {
    http_t* http =
        httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 500, nullptr);
    if (http)
        httpClose(http);
    return http != nullptr;
}

void Terminate(QProcess& p) {
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(10000))
        p.kill();
    p.waitForFinished(5000);
}

} // namespace

TIppEvePrinter::TIppEvePrinter(const QString& queue) : FQueue(queue) {
    FPort = FreeLoopbackPort();
    const QString spool = FDir.filePath(QStringLiteral("spool"));
    const QString bus = FDir.filePath(QStringLiteral("bus"));
    QDir().mkpath(spool);
    // ippeveprinter registers with Avahi over the system D-Bus and gives up
    // without one; a private bus lets it start (nothing is advertised, -r off).
    FBus.setProgram(QStringLiteral("dbus-daemon"));
    FBus.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--nopidfile"),
                       QStringLiteral("--address=unix:path=") + bus});
    FBus.start();
    if (!FBus.waitForStarted(10000) || !WaitFor([&] { return QFile::exists(bus); }, 10000)) {
        FError = QStringLiteral("dbus-daemon did not start");
        return;
    }
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + bus);
    FPrinter.setProcessEnvironment(env);
    FPrinter.setProcessChannelMode(QProcess::MergedChannels);
    FPrinter.setProgram(QStringLiteral("ippeveprinter"));
    FPrinter.setArguments({QStringLiteral("-p"), QString::number(FPort), QStringLiteral("-d"),
                           spool, QStringLiteral("-k"), QStringLiteral("-r"), QStringLiteral("off"),
                           QStringLiteral("-n"), QStringLiteral("localhost"), QStringLiteral("-f"),
                           QStringLiteral("application/pdf,image/pwg-raster"), FQueue});
    FPrinter.start();
    const bool listening =
        FPrinter.waitForStarted(10000) && WaitFor([&] { return Answers(FPort); }, 15000);
    if (!listening) {
        FError =
            QStringLiteral("ippeveprinter did not start: ") + QString::fromUtf8(FPrinter.readAll());
        return;
    }
    const RunResult r =
        Run(QStringLiteral("lpadmin"),
            {QStringLiteral("-p"), FQueue, QStringLiteral("-v"),
             QStringLiteral("ipp://127.0.0.1:%1/ipp/print").arg(FPort), QStringLiteral("-m"),
             QStringLiteral("everywhere"), QStringLiteral("-E")});
    if (r.exitCode != 0)
        FError = QStringLiteral("lpadmin -m everywhere failed: ") + QString::fromUtf8(r.err);
}

TIppEvePrinter::~TIppEvePrinter() {
    // Deleting the queue cancels what it still holds (jobs for a printer
    // that has gone are retried for ever).
    Run(QStringLiteral("lpadmin"), {QStringLiteral("-x"), FQueue});
    Stop();
    Terminate(FBus);
}

void TIppEvePrinter::Stop() {
    Terminate(FPrinter);
}

std::vector<TIppEvePrinter::TJob> TIppEvePrinter::CompletedJobs() const {
    std::vector<TJob> jobs;
    http_t* http =
        httpConnect2("127.0.0.1", FPort, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (!http)
        return jobs;
    const QByteArray uri = QStringLiteral("ipp://127.0.0.1:%1/ipp/print").arg(FPort).toUtf8();
    const QDir spool(FDir.filePath(QStringLiteral("spool")));
    for (const TCupsJob& j : GetJobs(http, uri.constData(), "/ipp/print", "completed")) {
        TJob job{j.id, j.name, j.copies, {}};
        const QStringList files = spool.entryList({QStringLiteral("%1-*").arg(j.id)}, QDir::Files);
        if (!files.isEmpty())
            job.document = spool.filePath(files.first());
        jobs.push_back(job);
    }
    httpClose(http);
    return jobs;
}

std::optional<TIppEvePrinter::TJob> TIppEvePrinter::WaitForJob(int timeoutMs) const {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const std::vector<TJob> jobs = CompletedJobs();
        if (!jobs.empty())
            return jobs.front();
        QThread::msleep(200);
    }
    return std::nullopt;
}

} // namespace gdtest
