#include "CupsSupport.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <cups/cups.h>
#include <fcntl.h>
#include <sys/file.h>
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

std::vector<TCupsJob> CupsJobs() {
    std::vector<TCupsJob> jobs;
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    static const char* const attrs[] = {"job-id", "job-name", "copies", "job-state"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr,
                  attrs);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
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

} // namespace gdtest
