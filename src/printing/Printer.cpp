#include "Printer.h"

#include "common/Exception.h"

#include <QDir>
#include <QTemporaryFile>
#include <cups/cups.h>

namespace gd {

namespace {

// Owns a destination looked up in CUPS.
struct TDest {
    cups_dest_t* FDest = nullptr;
    explicit TDest(const QString& name) {
        FDest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.toUtf8().constData(), nullptr);
    }
    ~TDest() {
        if (FDest)
            cupsFreeDests(1, FDest);
    }
    TDest(const TDest&) = delete;
    TDest& operator=(const TDest&) = delete;
    const char* Option(const char* name) const {
        return FDest ? cupsGetOption(name, FDest->num_options, FDest->options) : nullptr;
    }
};

QString CupsError() {
    return QString::fromUtf8(cupsLastErrorString());
}

// CUPS takes a job for a network printer that has gone and retries it for
// ever, so a job accepted by the queue says nothing about the printer. A
// queue whose device is a network address (driverless IPP, AppSocket) must
// answer a connection within this bound before a job counts as printed.
constexpr int DeviceProbeMs = 5000;

bool DeviceAnswers(const char* deviceUri) {
    if (!deviceUri)
        return true;
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, deviceUri, scheme, sizeof scheme, user, sizeof user,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return true;
    const bool ipps = qstrcmp(scheme, "ipps") == 0;
    if (!ipps && qstrcmp(scheme, "ipp") != 0 && qstrcmp(scheme, "socket") != 0)
        return true;
    http_t* http = httpConnect2(host, port, nullptr, AF_UNSPEC,
                                ipps ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                DeviceProbeMs, nullptr);
    if (!http)
        return false;
    httpClose(http);
    return true;
}

} // namespace

bool TCurrentPrinter::AnyInstalled() {
    return !QPrinterInfo::availablePrinterNames().isEmpty();
}

QPrinterInfo TCurrentPrinter::Resolve() const {
    if (!FChosen.isEmpty()) {
        QPrinterInfo info = QPrinterInfo::printerInfo(FChosen);
        if (info.isNull())
            throw Exception(QStringLiteral("Принтер \"%1\" не найден").arg(FChosen));
        return info;
    }
    QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull())
        throw Exception(QStringLiteral("There is no default printer currently selected"));
    return info;
}

bool DestinationAcceptsJobs(const QString& printerName) {
    TDest dest(printerName);
    const char* accepting = dest.Option("printer-is-accepting-jobs");
    return dest.FDest && accepting && qstrcmp(accepting, "true") == 0;
}

TCupsPrintDevice::TCupsPrintDevice(const QPrinterInfo& printer)
    : FInfo(printer), FPrinter(printer, QPrinter::HighResolution) {
    // Qt keeps A4 portrait unless told: take the printer's own defaults.
    FPrinter.setPageSize(FInfo.defaultPageSize());
    TDest dest(FInfo.printerName());
    const char* orientation = dest.Option("orientation-requested");
    FPrinter.setPageOrientation(orientation && qstrcmp(orientation, "4") == 0
                                    ? QPageLayout::Landscape
                                    : QPageLayout::Portrait);
    // The printable area is the driver's imageable area, not Qt's default
    // margins inside it.
    const QPageLayout layout = FPrinter.pageLayout();
    FPrinter.setPageMargins(layout.minimumMargins(), layout.units());
}

TCupsPrintDevice::~TCupsPrintDevice() {
    Abort();
}

QSize TCupsPrintDevice::PrintableArea() {
    return FPrinter.pageLayout().paintRectPixels(FPrinter.resolution()).size();
}

void TCupsPrintDevice::Begin(const QString& title, int copies) {
    if (!DestinationAcceptsJobs(FInfo.printerName()))
        throw Exception(
            QStringLiteral("Принтер \"%1\" не принимает задания").arg(FInfo.printerName()));
    if (!DeviceAnswers(TDest(FInfo.printerName()).Option("device-uri")))
        throw Exception(QStringLiteral("Принтер \"%1\" недоступен").arg(FInfo.printerName()));
    FTitle = title;
    FCopies = copies;
    FFile =
        std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/gdprint-XXXXXX.pdf"));
    if (!FFile->open())
        throw Exception(QStringLiteral("Не могу создать файл \"%1\"").arg(FFile->fileTemplate()));
    FFile->close();
    // The same page layout and resolution as the printer's, drawn to the
    // job's PDF file, so device pixels are the printer's.
    const QPageLayout layout = FPrinter.pageLayout();
    const int dpi = FPrinter.resolution();
    FPrinter.setOutputFormat(QPrinter::PdfFormat);
    FPrinter.setOutputFileName(FFile->fileName());
    FPrinter.setResolution(dpi);
    FPrinter.setPageLayout(layout);
    FPrinter.setDocName(title);
    FPrinter.setCreator(QStringLiteral("gdserver"));
    FSheets = 0;
    if (!FPainter.begin(&FPrinter))
        throw Exception(QStringLiteral("Не могу начать печать на \"%1\"").arg(FInfo.printerName()));
}

QPainter& TCupsPrintDevice::Sheet() {
    if (FSheets++ > 0)
        FPrinter.newPage();
    return FPainter;
}

void TCupsPrintDevice::End() {
    FPainter.end();
    if (FSheets == 0) {
        // A picture without frames: the job has nothing to print, and a PDF
        // always holds a page, which would come out as a blank sheet.
        FFile.reset();
        return;
    }
    const QByteArray path = QFile::encodeName(FFile->fileName());
    const QByteArray name = FInfo.printerName().toUtf8();
    const QByteArray title = FTitle.toUtf8();
    const QByteArray copies = QByteArray::number(FCopies);
    cups_option_t* options = nullptr;
    int count = cupsAddOption("copies", copies.constData(), 0, &options);
    for (const auto& [option, value] : ExtraOptions)
        count = cupsAddOption(option.constData(), value.constData(), count, &options);
    FJobId = cupsPrintFile2(CUPS_HTTP_DEFAULT, name.constData(), path.constData(),
                            title.constData(), count, options);
    cupsFreeOptions(count, options);
    FFile.reset();
    if (FJobId == 0)
        throw Exception(QStringLiteral("Принтер \"%1\" не принял задание: %2")
                            .arg(FInfo.printerName(), CupsError()));
}

void TCupsPrintDevice::Abort() noexcept {
    if (FPainter.isActive())
        FPainter.end();
    FFile.reset();
}

} // namespace gd
