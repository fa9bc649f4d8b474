#include "PrintDocument.h"

#include "Fitting.h"
#include "PrintImage.h"
#include "common/Exception.h"

#include <QPainter>
#include <algorithm>
#include <exception>

namespace gd {

namespace {

// Aborts the job unless it was closed, on every way out.
class TJobGuard {
public:
    explicit TJobGuard(IPrintDevice& device) : FDevice(device) {}
    ~TJobGuard() {
        if (FOpen)
            FDevice.Abort();
    }
    TJobGuard(const TJobGuard&) = delete;
    TJobGuard& operator=(const TJobGuard&) = delete;
    void Opened() { FOpen = true; }
    void Closed() { FOpen = false; }

private:
    IPrintDevice& FDevice;
    bool FOpen = false;
};

// Selects the remembered frame again on every way out. A failure there while
// another error is leaving is dropped: the first error is the one to report.
class TFrameRestore {
public:
    explicit TFrameRestore(IPrintImage& image) : FImage(image), FFrame(image.ActiveFrame()) {}
    ~TFrameRestore() noexcept(false) {
        if (std::uncaught_exceptions() > FUncaught) {
            try {
                FImage.SelectFrame(FFrame);
            } catch (...) {
            }
        } else {
            FImage.SelectFrame(FFrame);
        }
    }
    TFrameRestore(const TFrameRestore&) = delete;
    TFrameRestore& operator=(const TFrameRestore&) = delete;

private:
    IPrintImage& FImage;
    int FFrame;
    int FUncaught = std::uncaught_exceptions();
};

} // namespace

bool PrintDocument(IPrintDevice& device, const QString& title, IPrintImage& image, int copies,
                   IPrintProgress* progress) {
    TJobGuard job(device);
    {
        // Declared inside the guard's life: the frame is restored before the
        // device lets go of the job.
        TFrameRestore restore(image);
        const int n = image.FrameCount();
        // A document with nothing to print is a failure, not an empty job.
        if (n <= 0)
            throw Exception(QStringLiteral("В документе нет страниц"));
        const QSize area = device.PrintableArea();
        const int PW = area.width(), PH = area.height();
        device.Begin(title, copies < 1 ? 1 : copies);
        job.Opened();
        for (int i = 0; i < n; ++i) {
            if (progress && !progress->Sheet(i, n))
                return false; // the guard aborts the job
            image.SelectFrame(i);
            const QSize size = image.FrameSize();
            const TPageFit fit = FitPage(PW, PH, size.width(), size.height());
            QPainter& painter = device.Sheet();
            // Drawn even when nothing fits: a frame that does not read says so.
            image.DrawFrame(painter, QRect(0, 0, std::max(fit.W, 0), std::max(fit.H, 0)));
        }
    }
    device.End();
    job.Closed();
    return true;
}

} // namespace gd
