#pragma once

#include "PrintDocument.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QString>
#include <memory>

class QTemporaryFile;

namespace gd {

// The printer of the run: the system default until the user chooses one. The
// choice lasts until the program ends and is not stored.
class TCurrentPrinter {
public:
    // True when the printing service lists at least one printer.
    static bool AnyInstalled();

    // The chosen printer's name; empty while none was chosen.
    const QString& Chosen() const { return FChosen; }
    void Choose(const QString& name) { FChosen = name; }

    // The printer a job goes to. Throws "There is no default printer
    // currently selected" when none was chosen and there is no default, and
    // when a chosen printer is gone.
    QPrinterInfo Resolve() const;

private:
    QString FChosen;
};

// Whether CUPS says the destination takes new jobs (printer-is-accepting-jobs).
bool DestinationAcceptsJobs(const QString& printerName);

// A print job on a CUPS printer. The pages are set up from the printer's own
// defaults (paper, orientation, resolution) whatever a dialog chose, drawn
// into a PDF file of the job and handed to CUPS on End with the title as the
// job name and the copy count as the job's copies. A job CUPS refuses fails
// (Qt's own CUPS engine would drop it silently); an aborted job never reaches
// CUPS.
class TCupsPrintDevice : public IPrintDevice {
public:
    explicit TCupsPrintDevice(const QPrinterInfo& printer);
    ~TCupsPrintDevice() override;

    QSize PrintableArea() override;
    void Begin(const QString& title, int copies) override;
    QPainter& Sheet() override;
    void End() override;
    void Abort() noexcept override;

    // The CUPS id of the job End submitted; 0 before.
    int JobId() const { return FJobId; }

    // More IPP job options, name and value (e.g. job-hold-until).
    QList<std::pair<QByteArray, QByteArray>> ExtraOptions;

private:
    QPrinterInfo FInfo;
    QPrinter FPrinter;
    QPainter FPainter;
    std::unique_ptr<QTemporaryFile> FFile;
    QString FTitle;
    int FCopies = 1;
    int FSheets = 0;
    int FJobId = 0;
};

} // namespace gd
