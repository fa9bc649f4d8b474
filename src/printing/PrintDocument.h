#pragma once

#include <QRect>
#include <QString>

class QPainter;

namespace gd {

class IPrintImage;

// One print job on an output device. Begin opens the job, each Sheet starts a
// new sheet and returns the painter over it (device pixels), End closes the
// job and hands it over; Abort discards an open job. Every call may throw
// gd::Exception.
class IPrintDevice {
public:
    virtual ~IPrintDevice() = default;
    // The printable area in device pixels; read once per job.
    virtual QSize PrintableArea() = 0;
    virtual void Begin(const QString& title, int copies) = 0;
    virtual QPainter& Sheet() = 0;
    virtual void End() = 0;
    virtual void Abort() noexcept = 0;
};

// Told before each sheet; returning false cancels the job.
class IPrintProgress {
public:
    virtual ~IPrintProgress() = default;
    virtual bool Sheet(int index, int count) = 0;
};

// Prints every frame of image on its own sheet, fitted into the printable
// area (FitPage) at its top-left corner, in a job named title. A copy count
// below 1 prints one copy. The image is left on the frame it had. An image
// without frames throws before any job is begun; an exception (a frame that
// does not decode, too) aborts the job and leaves after the image and the
// device are restored, so nothing is printed. Returns false when progress
// cancelled the job (nothing printed).
bool PrintDocument(IPrintDevice& device, const QString& title, IPrintImage& image, int copies,
                   IPrintProgress* progress = nullptr);

} // namespace gd
