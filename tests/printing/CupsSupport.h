#pragma once

#include <QProcess>
#include <QSize>
#include <QString>
#include <QTemporaryDir>
#include <optional>
#include <vector>

namespace gdtest {

// The cups-pdf queue of the tests: scripts/services.d/cups makes it (run
// again here so a bare ctest works) and it must be the default destination.
// Returns an explanation when no printer could be set up.
QString SetUpCupsPdf();

// Serialises tests that use the shared queue, across test processes.
class TCupsLock {
public:
    TCupsLock();
    ~TCupsLock();
    TCupsLock(const TCupsLock&) = delete;
    TCupsLock& operator=(const TCupsLock&) = delete;

private:
    int FFd = -1;
};

struct TCupsJob {
    int id = 0;
    QString name;
    int copies = 0;
    int state = 0; // IPP job-state: 9 completed, 7 canceled, 8 aborted
};

std::vector<TCupsJob> CupsJobs();
int LastCupsJobId();
// Waits until a job after afterId named name (and with that many copies,
// when copies is not 0) has ended; nullopt on timeout. Other tests may print
// under the same name meanwhile.
std::optional<TCupsJob> WaitForJob(int afterId, const QString& name, int copies = 0,
                                   int timeoutMs = 60000);
// The PDF cups-pdf wrote for a job (its "Out" folder), empty when none.
QString CupsPdfOutput(int jobId);
int PdfPageCount(const QString& pdf);
// Bits per component of each image in a PDF, in order (pdfimages -list).
std::vector<int> PdfImageBits(const QString& pdf);

// A TIFF of the given pages (1-bit, CCITT G4, 300 dpi), made by ImageMagick
// page by page and joined by tiffcp.
bool MakeG4Tiff(const QString& path, const std::vector<QSize>& pages);

// The real gdserver, headless, in a folder of its own with a documents folder;
// SIGTERM ends it with the object.
struct TServed {
    QTemporaryDir Dir;
    QString Docs = Dir.path() + QStringLiteral("/docs");
    QProcess Server;

    TServed();
    ~TServed();
    // extraEnv: NAME=VALUE entries added to the server's environment.
    bool Start(const QStringList& args, const QStringList& extraEnv = {});
};

// gdclient's final mark for one command (waiting up to 90 s).
QByteArray Client(const QString& ctl, const QString& command);

// A driverless network printer: ippeveprinter (IPP Everywhere, PDF and PWG
// raster, 1-bit and 8-bit gray) on a free loopback port, keeping every job's
// document in its spool folder, and a CUPS queue made for it with
// "lpadmin -m everywhere". The queue and the printer go with the object.
class TIppEvePrinter {
public:
    explicit TIppEvePrinter(const QString& queue);
    ~TIppEvePrinter();
    TIppEvePrinter(const TIppEvePrinter&) = delete;
    TIppEvePrinter& operator=(const TIppEvePrinter&) = delete;

    // Empty when the printer and its queue are ready, else why not.
    const QString& Error() const { return FError; }
    // The printer goes away; its CUPS queue stays.
    void Stop();

    struct TJob {
        int id = 0;
        QString name;
        int copies = 0;
        QString document; // the kept file
    };
    // Jobs the printer itself has completed.
    std::vector<TJob> CompletedJobs() const;
    // Waits up to timeoutMs for the first completed job.
    std::optional<TJob> WaitForJob(int timeoutMs = 90000) const;

private:
    QString FQueue, FError;
    int FPort = 0;
    QTemporaryDir FDir;
    QProcess FBus, FPrinter;
};

} // namespace gdtest
