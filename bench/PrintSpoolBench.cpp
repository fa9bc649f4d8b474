// Spools a 100-page A4 300 dpi CCITT G4 document through PrintDocument until
// CUPS has accepted the job, and measures how much data reached the spooler;
// compares with `lp` of the same TIFF. Jobs are held in the queue and
// cancelled at once, so nothing is rendered. Needs the queue of
// scripts/services.d/cups. Prints medians of the runs.
#include "printing/BitmapPrintImage.h"
#include "printing/PrintDocument.h"
#include "printing/Printer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cups/cups.h>
#include <vector>

namespace {

bool Exec(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     p.readAllStandardError().constData());
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The same frames drawn as Qt's TIFF reader gives them, without making 1-bit
// pages black-on-white: what the spooler would get without that step.
class TRawFrames : public gd::IPrintImage {
public:
    explicit TRawFrames(const QString& path) : FReader(path) { FCount = FReader.imageCount(); }
    int FrameCount() const override { return FCount; }
    int ActiveFrame() const override { return FActive; }
    void SelectFrame(int index) override {
        if (index == FActive && !FFrame.isNull())
            return;
        FActive = index;
        FReader.jumpToImage(index);
        FFrame = FReader.read();
    }
    QSize FrameSize() const override { return FFrame.size(); }
    const QImage& Frame() const { return FFrame; }
    void DrawFrame(QPainter& painter, const QRect& target) override {
        painter.drawImage(target, FFrame);
    }

private:
    QImageReader FReader;
    QImage FFrame;
    int FCount = 0;
    int FActive = 0;
};

qint64 SpoolSize(int jobId) {
    return QFileInfo(QStringLiteral("/var/spool/cups/d%1-001").arg(jobId, 5, 10, QLatin1Char('0')))
        .size();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    QTemporaryDir dir;
    const QString page = dir.filePath(QStringLiteral("page.tif"));
    const QString doc = dir.filePath(QStringLiteral("doc.tif"));
    // A page of text-like bars, so G4 has something to code.
    QStringList draw;
    for (int y = 200; y < 3300; y += 60)
        for (int x = 200; x < 2200; x += 420)
            draw << QStringLiteral("rectangle %1,%2 %3,%4")
                        .arg(x)
                        .arg(y)
                        .arg(x + 300 + (y % 7) * 10)
                        .arg(y + 25);
    QStringList args{QStringLiteral("-size"), QStringLiteral("2480x3508"),
                     QStringLiteral("xc:white"), QStringLiteral("-fill"), QStringLiteral("black")};
    for (const QString& d : draw)
        args << QStringLiteral("-draw") << d;
    args << QStringLiteral("-monochrome") << QStringLiteral("-density") << QStringLiteral("300")
         << QStringLiteral("-compress") << QStringLiteral("Group4") << page;
    if (!Exec(QStringLiteral("convert-im6.q16"), args))
        return 1;
    QStringList pages;
    for (int i = 0; i < 100; ++i)
        pages << page;
    if (!Exec(QStringLiteral("tiffcp"), pages + QStringList{doc}))
        return 1;
    std::printf("document: 100 pages A4 300 dpi G4, %lld bytes\n", QFileInfo(doc).size());

    const QPrinterInfo info = gd::TCurrentPrinter().Resolve();
    std::vector<double> ours, lp;
    std::vector<double> oursSize, lpSize;
    for (int r = 0; r < runs; ++r) {
        {
            QElapsedTimer t;
            t.start();
            const auto image = gd::OpenPrintImage(doc);
            gd::TCupsPrintDevice device(info);
            device.ExtraOptions.append(
                std::pair<QByteArray, QByteArray>("job-hold-until", "indefinite"));
            gd::PrintDocument(device, QStringLiteral("Kvelmar - bench"), *image, 1);
            ours.push_back(t.elapsed() / 1000.0);
            oursSize.push_back(SpoolSize(device.JobId()));
            cupsCancelJob(info.printerName().toUtf8().constData(), device.JobId());
        }
        {
            QElapsedTimer t;
            t.start();
            QByteArray out;
            if (!Exec(QStringLiteral("lp"),
                      {QStringLiteral("-d"), info.printerName(), QStringLiteral("-H"),
                       QStringLiteral("hold"), QStringLiteral("-t"), QStringLiteral("lp bench"),
                       doc},
                      &out))
                return 1;
            lp.push_back(t.elapsed() / 1000.0);
            // "request id is PDF-12 (1 file(s))"
            const int id = out.split('-').value(1).split(' ').value(0).toInt();
            lpSize.push_back(SpoolSize(id));
            cupsCancelJob(info.printerName().toUtf8().constData(), id);
        }
        std::printf("run %d: PrintDocument %.2f s %.0f bytes; lp %.2f s %.0f bytes\n", r + 1,
                    ours.back(), oursSize.back(), lp.back(), lpSize.back());
    }
    {
        TRawFrames raw(doc);
        raw.SelectFrame(0);
        const QImage& f = raw.Frame();
        std::printf("Qt reads a page as format %d, colour table %08x %08x\n", int(f.format()),
                    f.color(0), f.color(1));
        QElapsedTimer t;
        t.start();
        gd::TCupsPrintDevice device(info);
        device.ExtraOptions.append(
            std::pair<QByteArray, QByteArray>("job-hold-until", "indefinite"));
        gd::PrintDocument(device, QStringLiteral("Kvelmar - bench raw"), raw, 1);
        std::printf("without the black-on-white step: %.2f s, %lld bytes spooled\n",
                    t.elapsed() / 1000.0, SpoolSize(device.JobId()));
        cupsCancelJob(info.printerName().toUtf8().constData(), device.JobId());
    }
    std::printf("median PrintDocument: %.2f s until accepted, %.0f bytes spooled (%.0f per page)\n",
                Median(ours), Median(oursSize), Median(oursSize) / 100);
    std::printf("median lp:            %.2f s until accepted, %.0f bytes spooled\n", Median(lp),
                Median(lpSize));
    return 0;
}
