#pragma once

#include <QSize>
#include <QString>
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

// A TIFF of the given pages (1-bit, CCITT G4, 300 dpi), made by ImageMagick
// page by page and joined by tiffcp.
bool MakeG4Tiff(const QString& path, const std::vector<QSize>& pages);

} // namespace gdtest
