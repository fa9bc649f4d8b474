#include "document/ImageServices.h"

#include "document/FrameSource.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <climits>
#include <cmath>

namespace gd {

const QUuid FrameDimensionPage(0x7462dc86, 0x6180, 0x4c7e, 0x8e, 0x3f, 0xee, 0x73, 0x33, 0xa7, 0xa4,
                               0x83);
const QUuid FrameDimensionTime(0x6aedbd6d, 0x3fb5, 0x418a, 0x83, 0xa6, 0x7f, 0x45, 0x22, 0x9d, 0xc8,
                               0x72);

bool FrameSizeAllowed(qint64 width, qint64 height, int bitsPerPixel) {
    if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide ||
        width * height > kMaxFramePixels)
        return false;
    const qint64 rowBytes = (width * std::max(bitsPerPixel, 1) + 31) / 32 * 4;
    return rowBytes * height <= kMaxFrameBytes;
}

quint32 PixelFormatOf(QImage::Format format) {
    switch (format) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return PixelFormat1bppIndexed;
    case QImage::Format_Indexed8:
    case QImage::Format_Grayscale8:
    case QImage::Format_Alpha8:
        return PixelFormat8bppIndexed;
    case QImage::Format_Grayscale16:
        return PixelFormat16bppGrayScale;
    case QImage::Format_RGB888:
    case QImage::Format_BGR888:
        return PixelFormat24bppRGB;
    case QImage::Format_RGB32:
    case QImage::Format_RGBX8888:
        return PixelFormat32bppRGB;
    case QImage::Format_ARGB32:
    case QImage::Format_RGBA8888:
        return PixelFormat32bppARGB;
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBA8888_Premultiplied:
        return PixelFormat32bppPARGB;
    case QImage::Format_RGBX64:
        return PixelFormat48bppRGB;
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return PixelFormat64bppARGB;
    case QImage::Format_Invalid:
        return PixelFormatUndefined;
    default:
        return PixelFormat32bppARGB;
    }
}

QImage::Format QImageFormatOf(quint32 pixelFormat) {
    switch (pixelFormat) {
    case PixelFormat1bppIndexed:
        return QImage::Format_Mono;
    case PixelFormat4bppIndexed:
    case PixelFormat8bppIndexed:
        return QImage::Format_Indexed8;
    case PixelFormat16bppGrayScale:
        return QImage::Format_Grayscale16;
    case PixelFormat24bppRGB:
        return QImage::Format_RGB888;
    case PixelFormat32bppRGB:
        return QImage::Format_RGB32;
    case PixelFormat32bppARGB:
        return QImage::Format_ARGB32;
    case PixelFormat32bppPARGB:
        return QImage::Format_ARGB32_Premultiplied;
    case PixelFormat48bppRGB:
        return QImage::Format_RGBX64;
    case PixelFormat64bppARGB:
        return QImage::Format_RGBA64;
    default:
        return QImage::Format_Invalid;
    }
}

namespace {

constexpr int kQtDefaultDpm = 2835; // what Qt's readers leave when a file states no resolution

// Whole dots per inch survive the trip through whole dots per metre (96 dpi
// is 3780, 72 dpi 2835).
double DpmToDpi(int dotsPerMeter) {
    const double dpi = dotsPerMeter * 0.0254;
    const double whole = std::round(dpi);
    return qRound(whole / 0.0254) == dotsPerMeter ? whole : dpi;
}

quint32 MemoryFlags(const QImage& img) {
    quint32 f = img.isGrayscale() ? ImageFlagsColorSpaceGRAY : ImageFlagsColorSpaceRGB;
    if (img.hasAlphaChannel())
        f |= ImageFlagsHasAlpha;
    return f;
}

// A picture in memory carries the resolution it was given (a decoded frame
// the one its file states, or 96); 2835 dots per metre is a real 72 dpi.
double DpiOf(int dotsPerMeter) {
    return dotsPerMeter > 0 ? DpmToDpi(dotsPerMeter) : 96.0;
}

// Resolution stated in a BMP or JFIF header, which Qt does not tell apart
// from "none": 0 when the header states none, -1 when there is no such
// header to look at.
double StatedDpi(const QByteArray& head, const QByteArray& format) {
    auto le32 = [&](int at) {
        return quint32(uchar(head[at])) | quint32(uchar(head[at + 1])) << 8 |
               quint32(uchar(head[at + 2])) << 16 | quint32(uchar(head[at + 3])) << 24;
    };
    if (format == "bmp" && head.size() >= 46 && le32(14) >= 40) {
        const quint32 ppm = le32(38);
        return ppm > 0 && ppm < 4000000 ? DpmToDpi(int(ppm)) : 0;
    }
    if (format == "jpeg" && head.size() >= 18 && uchar(head[2]) == 0xFF && uchar(head[3]) == 0xE0 &&
        head.mid(6, 5) == QByteArray("JFIF\0", 5)) {
        const int units = uchar(head[13]);
        const int x = uchar(head[14]) << 8 | uchar(head[15]);
        if (x == 0 || units == 0)
            return 0;
        return units == 2 ? x * 2.54 : x;
    }
    return -1;
}

// Frames read by Qt's codecs (JPEG, BMP, PNG, GIF...), chosen by content,
// always from the file opened first.
class QtSource final : public TFrameSource {
public:
    QtSource(std::unique_ptr<QFile> file, QByteArray format, int count, QByteArray head)
        : FFile(std::move(file)), FFormat(std::move(format)), FCount(count),
          FHead(std::move(head)) {}
    int FrameCount() const override { return FCount; }
    int Handle() const override { return FFile->handle(); }
    QUuid Dimension() const override {
        return FFormat == "gif" ? FrameDimensionTime : FrameDimensionPage;
    }

    GpStatus ReadHeader(int index, TFrameHeader& h) override {
        // Properties need the decoded frame (Qt tells the resolution only
        // then); it is kept until Decode hands it over.
        if (FCachedIndex != index) {
            FCached = QImage();
            FCachedStatus = Read(index, FCached);
            FCachedIndex = index;
        }
        if (FCached.isNull())
            return FCachedStatus == GpStatus::Ok ? GpStatus::GenericError : FCachedStatus;
        h.Width = FCached.width();
        h.Height = FCached.height();
        h.PixelFormat = PixelFormatOf(FCached.format());
        h.Flags = ImageFlagsHasRealPixelSize | ImageFlagsReadOnly;
        if (FCached.isGrayscale())
            h.Flags |= ImageFlagsColorSpaceGRAY;
        else if (FFormat == "jpeg")
            h.Flags |= ImageFlagsColorSpaceYCBCR;
        else
            h.Flags |= ImageFlagsColorSpaceRGB;
        if (FCached.hasAlphaChannel())
            h.Flags |= ImageFlagsHasAlpha;
        double dpi = StatedDpi(FHead, FFormat);
        if (dpi < 0 && FCached.dotsPerMeterX() != kQtDefaultDpm)
            dpi = DpmToDpi(FCached.dotsPerMeterX());
        if (dpi > 0) {
            h.Flags |= ImageFlagsHasRealDPI;
            h.DpiX = h.DpiY = dpi;
        }
        return GpStatus::Ok;
    }

    GpStatus Decode(int index, QImage& img) override {
        if (FCachedIndex == index) {
            img = std::move(FCached);
            FCached = QImage();
            FCachedIndex = -1;
            return img.isNull()
                       ? (FCachedStatus == GpStatus::Ok ? GpStatus::GenericError : FCachedStatus)
                       : GpStatus::Ok;
        }
        return Read(index, img);
    }

private:
    GpStatus Read(int index, QImage& img) {
        if (!FFile->seek(0))
            return GpStatus::GenericError;
        QImageReader r(FFile.get(), FFormat);
        r.setAutoTransform(false);
        for (int i = 0; i < index; ++i)
            if (!r.jumpToNextImage())
                return GpStatus::GenericError;
        const QSize s = r.size();
        if (s.isValid() && !FrameSizeAllowed(s.width(), s.height(), 32))
            return GpStatus::OutOfMemory;
        if (!r.read(&img))
            return GpStatus::GenericError;
        // Keep the file's depth where Qt widens it: 24-bit BMP and colour JPEG.
        if (img.format() == QImage::Format_RGB32 &&
            (FFormat == "jpeg" ||
             (FFormat == "bmp" && FHead.size() >= 30 && uchar(FHead[28]) == 24)))
            img = img.convertToFormat(QImage::Format_RGB888);
        return GpStatus::Ok;
    }

    std::unique_ptr<QFile> FFile;
    QByteArray FFormat;
    int FCount;
    QByteArray FHead;
    QImage FCached;
    int FCachedIndex = -1;
    GpStatus FCachedStatus = GpStatus::Ok;
};

} // namespace

QString HandlePath(int fd) {
    return fd < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(fd);
}

std::unique_ptr<TFrameSource> OpenFrameSource(const QString& path, GpStatus& status) {
    auto f = std::make_unique<QFile>(path);
    if (!f->open(QIODevice::ReadOnly)) {
        status = GpStatus::FileNotFound;
        return nullptr;
    }
    const QByteArray head = f->read(64);
    if (IsTiffSignature(head)) {
        // libtiff reads through a descriptor of its own, opened from this one.
        return OpenTiffSource(HandlePath(f->handle()), status);
    }
    // Qt's own cap on a decoded image is lower than ours.
    if (QImageReader::allocationLimit() < int(kMaxFrameBytes / (1024 * 1024)))
        QImageReader::setAllocationLimit(int(kMaxFrameBytes / (1024 * 1024)));
    f->seek(0);
    QImageReader r(f.get());
    r.setDecideFormatFromContent(true);
    const QByteArray format = r.format();
    // Only the codecs documents use: no SVG, PDF or other plugin formats.
    static const QByteArrayList kFormats = {"jpeg", "bmp", "png", "gif"};
    if (!kFormats.contains(format) || !r.canRead()) {
        status = GpStatus::UnknownImageFormat;
        return nullptr;
    }
    int count = r.imageCount();
    if (count <= 0 || !r.supportsAnimation())
        count = 1;
    status = GpStatus::Ok;
    return std::make_unique<QtSource>(std::move(f), format, std::min(count, 100000), head);
}

// ---- TGPImage -----------------------------------------------------------------

TGPImage::TGPImage() = default;
TGPImage::~TGPImage() = default;

GpStatus TGPImage::Fail(GpStatus status) {
    if (status != GpStatus::Ok)
        FLastStatus = status;
    return status;
}

int TGPImage::GetFrameCount() const {
    if (FSourceFrames)
        return FSourceFrames->FrameCount();
    return FFrame.isNull() ? 0 : 1;
}

int TGPImage::GetFrameDimensionsCount() const {
    return GetFrameCount() > 0 ? 1 : 0;
}

QUuid TGPImage::GetFrameDimension() const {
    if (GetFrameCount() == 0)
        return QUuid();
    return FSourceFrames ? FSourceFrames->Dimension() : FrameDimensionPage;
}

GpStatus TGPImage::SelectActiveFrame(int index) {
    ++FSelectCalls;
    if (index < 0 || index >= GetFrameCount())
        return Fail(GpStatus::InvalidParameter);
    if (!FSourceFrames)
        return GpStatus::Ok;
    FSelected = index;
    FFrame = QImage();
    FDecodeTried = false;
    FFrameStatus = GpStatus::Ok;
    FHeaderValid = false;
    return GpStatus::Ok;
}

bool TGPImage::EnsureHeader() {
    if (FHeaderValid)
        return true;
    if (!FSourceFrames) {
        if (FFrame.isNull())
            return false;
        FWidth = FFrame.width();
        FHeight = FFrame.height();
        FPixelFormat = PixelFormatOf(FFrame.format());
        FFlags = MemoryFlags(FFrame);
        FDpiX = DpiOf(FFrame.dotsPerMeterX());
        FDpiY = DpiOf(FFrame.dotsPerMeterY());
        FHeaderValid = true;
        return true;
    }
    if (GetFrameCount() == 0)
        return false;
    TFrameHeader h;
    const GpStatus s = FSourceFrames->ReadHeader(FSelected, h);
    if (s != GpStatus::Ok) {
        Fail(s);
        return false;
    }
    FWidth = h.Width;
    FHeight = h.Height;
    FPixelFormat = h.PixelFormat;
    FFlags = h.Flags;
    FDpiX = h.DpiX;
    FDpiY = h.DpiY;
    FHeaderValid = true;
    return true;
}

bool TGPImage::EnsureDecoded() {
    if (!FFrame.isNull())
        return true;
    if (!FSourceFrames || FDecodeTried || GetFrameCount() == 0)
        return false;
    FDecodeTried = true;
    ++FDecodes;
    const GpStatus s = FSourceFrames->Decode(FSelected, FFrame);
    FFrameStatus = s == GpStatus::Ok && FFrame.isNull() ? GpStatus::GenericError : s;
    Fail(s);
    if (!FFrame.isNull() && EnsureHeader()) {
        FFrame.setDotsPerMeterX(qRound(FDpiX / 0.0254));
        FFrame.setDotsPerMeterY(qRound(FDpiY / 0.0254));
    }
    return !FFrame.isNull();
}

int TGPImage::GetWidth() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FWidth;
}

int TGPImage::GetHeight() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FHeight;
}

quint32 TGPImage::GetPixelFormat() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FPixelFormat;
}

quint32 TGPImage::GetFlags() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FFlags;
}

double TGPImage::GetHorizontalResolution() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FDpiX;
}

double TGPImage::GetVerticalResolution() {
    if (!EnsureHeader())
        return Fail(GpStatus::InvalidParameter), 0;
    return FDpiY;
}

QString FrameFailureText(TGPImage& image) {
    const GpStatus status = image.FrameStatus();
    if (status == GpStatus::Ok)
        return QString();
    const qint64 w = image.GetWidth(), h = image.GetHeight();
    if (status == GpStatus::OutOfMemory && w > 0 && h > 0)
        return QStringLiteral(
                   "Страница слишком велика: %1 × %2 точек (можно не больше %3 млн точек)")
            .arg(w)
            .arg(h)
            .arg(kMaxFramePixels / 1000000);
    if (status == GpStatus::UnknownImageFormat)
        return QStringLiteral("Страница записана в неизвестном виде и не может быть показана");
    return QStringLiteral("Страница повреждена или записана в неизвестном виде");
}

QImage TGPImage::ToQImage() {
    if (!EnsureDecoded()) {
        Fail(GpStatus::InvalidParameter);
        return QImage();
    }
    return FFrame;
}

// ---- TGPBitmap ----------------------------------------------------------------

void TGPBitmap::OpenFile(const QString& path) {
    FFileName = path;
    GpStatus status = GpStatus::Ok;
    FSourceFrames = OpenFrameSource(path, status);
    Fail(status);
}

QString TGPBitmap::OpenFilePath() const {
    return FSourceFrames ? HandlePath(FSourceFrames->Handle()) : QString();
}

std::unique_ptr<TGPBitmap> TGPBitmap::FromFile(const QString& path) {
    std::unique_ptr<TGPBitmap> b(new TGPBitmap());
    b->OpenFile(path);
    return b;
}

std::unique_ptr<TGPBitmap> TGPBitmap::CreateBlank() {
    QImage img(1, 1, QImage::Format_Mono);
    img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    img.fill(0);
    return FromQImage(img);
}

std::unique_ptr<TGPBitmap> TGPBitmap::FromQImage(const QImage& image) {
    std::unique_ptr<TGPBitmap> b(new TGPBitmap());
    if (!image.isNull() && FrameSizeAllowed(image.width(), image.height(), image.depth())) {
        b->FFrame = image;
        b->FFrame.detach();
    } else if (!image.isNull()) {
        b->Fail(GpStatus::OutOfMemory);
    }
    return b;
}

std::unique_ptr<TGPBitmap> TGPBitmap::CloneArea(int x, int y, int width, int height,
                                                quint32 pixelFormat) {
    if (!EnsureDecoded()) {
        Fail(GpStatus::InvalidParameter);
        return nullptr;
    }
    const QRect area(x, y, width, height);
    if (width <= 0 || height <= 0 || !FFrame.rect().contains(area)) {
        Fail(GpStatus::InvalidParameter);
        return nullptr;
    }
    QImage copy = FFrame.copy(area);
    if (PixelFormatOf(copy.format()) != pixelFormat) {
        const QImage::Format f = QImageFormatOf(pixelFormat);
        if (f == QImage::Format_Invalid) {
            Fail(GpStatus::InvalidParameter);
            return nullptr;
        }
        copy = copy.convertToFormat(f);
    }
    if (copy.isNull()) {
        Fail(GpStatus::OutOfMemory);
        return nullptr;
    }
    copy.setDotsPerMeterX(qRound(GetHorizontalResolution() / 0.0254));
    copy.setDotsPerMeterY(qRound(GetVerticalResolution() / 0.0254));
    std::unique_ptr<TGPBitmap> b(new TGPBitmap());
    b->FFrame = std::move(copy);
    return b;
}

std::unique_ptr<TGPBitmap> TGPBitmap::Clone() {
    if (!EnsureDecoded()) {
        Fail(GpStatus::InvalidParameter);
        return nullptr;
    }
    return CloneArea(0, 0, FFrame.width(), FFrame.height(), PixelFormatOf(FFrame.format()));
}

} // namespace gd
