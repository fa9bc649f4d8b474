#pragma once

// Image services: multi-frame bitmaps decoded by libtiff (TIFF, every page)
// and Qt's codecs (JPEG, BMP, PNG, GIF), held in memory as QImage; encoders
// by MIME type; scaled drawing and fitting.
//
// As with the platform library this replaces, failures are statuses kept by
// the image object (the last failing one), never exceptions: a file that does
// not decode gives an object with 0 frames and a failing status.

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QUuid>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace gd {

enum class GpStatus {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    Aborted = 9,
    FileNotFound = 10,
    UnknownImageFormat = 13,
};

// Pixel format words; bits 8 to 15 hold the bits per pixel.
constexpr quint32 PixelFormatUndefined = 0;
constexpr quint32 PixelFormat1bppIndexed = 0x30101;
constexpr quint32 PixelFormat4bppIndexed = 0x30402;
constexpr quint32 PixelFormat8bppIndexed = 0x30803; // also 8-bit gray
constexpr quint32 PixelFormat16bppGrayScale = 0x101004;
constexpr quint32 PixelFormat24bppRGB = 0x21808;
constexpr quint32 PixelFormat32bppRGB = 0x22009;
constexpr quint32 PixelFormat32bppARGB = 0x26200A;
constexpr quint32 PixelFormat32bppPARGB = 0xE200B;
constexpr quint32 PixelFormat48bppRGB = 0x10300C;
constexpr quint32 PixelFormat64bppARGB = 0x34400D;

inline int BitsPerPixel(quint32 pixelFormat) {
    return int((pixelFormat >> 8) & 0xFF);
}

// Image flags word. A bitmap decoded from a file has HasRealPixelSize and
// ReadOnly, HasRealDPI when the file states a resolution, and one colour
// space flag (GRAY for bilevel and gray pages, RGB for palette and colour
// pages, CMYK or YCBCR when the file stores those); HasAlpha when the frame
// has an alpha channel. A bitmap made in memory has only the colour space and
// alpha flags.
constexpr quint32 ImageFlagsNone = 0;
constexpr quint32 ImageFlagsHasAlpha = 0x2;
constexpr quint32 ImageFlagsColorSpaceRGB = 0x10;
constexpr quint32 ImageFlagsColorSpaceCMYK = 0x20;
constexpr quint32 ImageFlagsColorSpaceGRAY = 0x40;
constexpr quint32 ImageFlagsColorSpaceYCBCR = 0x80;
constexpr quint32 ImageFlagsHasRealDPI = 0x1000;
constexpr quint32 ImageFlagsHasRealPixelSize = 0x2000;
constexpr quint32 ImageFlagsReadOnly = 0x10000;

// Frame dimension ids.
extern const QUuid FrameDimensionPage; // TIFF pages, single images
extern const QUuid FrameDimensionTime; // GIF animation frames

// The largest frame decoded or created: more pixels than kMaxFramePixels
// (about A0 at 600 dpi), a side over kMaxFrameSide, or more pixel bytes than
// kMaxFrameBytes fails with OutOfMemory before anything is allocated. The
// fuzz build keeps these limits, so a file that passes them is fuzzed too.
constexpr qint64 kMaxFramePixels = 300'000'000;
constexpr qint64 kMaxFrameSide = 40000;
constexpr qint64 kMaxFrameBytes = qint64(1536) * 1024 * 1024;

QImage::Format QImageFormatOf(quint32 pixelFormat); // Format_Invalid when unsupported
quint32 PixelFormatOf(QImage::Format format);

class TFrameSource; // a file's frames (internal)

// An image of one or more frames. One frame is selected; reads, copies,
// draws and saves see the selected frame. Frames of a file are decoded only
// when their pixels are asked for, and only the selected frame is kept.
class TGPImage {
public:
    virtual ~TGPImage();
    TGPImage(const TGPImage&) = delete;
    TGPImage& operator=(const TGPImage&) = delete;

    // The last failing status of any call on this object (Ok if none failed).
    GpStatus GetLastStatus() const { return FLastStatus; }

    int GetFrameDimensionsCount() const;   // 0 for an image without frames, else 1
    QUuid GetFrameDimension() const;       // null when there are no frames
    int GetFrameCount() const;             // frames along the first dimension
    GpStatus SelectActiveFrame(int index); // decodes nothing by itself

    // Properties of the selected frame; 0 (and a failing status) when none.
    int GetWidth();
    int GetHeight();
    quint32 GetPixelFormat();
    quint32 GetFlags();
    double GetHorizontalResolution(); // dots per inch, 96 when not stated
    double GetVerticalResolution();

    // The selected frame's pixels (decoded now if needed); null when the frame
    // does not decode. 1-bit frames are Format_Mono with two colours, palette
    // frames Format_Indexed8 (or Mono), gray Grayscale8/Grayscale16, colour
    // RGB888, RGBA8888 or RGBX8888. The QImage is implicitly shared: a copy
    // is independent of this object.
    QImage ToQImage();
    // How the selected frame decoded: Ok until a decode of it fails (a frame
    // refused by the size limits, or damaged: ToQImage may then give a partly
    // decoded picture). Selecting a frame starts again at Ok.
    GpStatus FrameStatus() const { return FFrameStatus; }

    // Counters for tests and benchmarks: library-level frame selections and
    // frame decodes made on this object.
    int SelectCallCount() const { return FSelectCalls; }
    int DecodeCount() const { return FDecodes; }

protected:
    TGPImage();
    GpStatus Fail(GpStatus status);
    bool EnsureHeader();
    bool EnsureDecoded();

    std::unique_ptr<TFrameSource> FSourceFrames; // file-backed frames, or none
    QImage FFrame;                               // decoded selected frame
    // Header of the selected frame (from the file, or of FFrame in memory).
    int FWidth = 0, FHeight = 0;
    quint32 FPixelFormat = 0, FFlags = 0;
    double FDpiX = 96, FDpiY = 96;
    bool FHeaderValid = false;
    int FSelected = 0;
    bool FDecodeTried = false;
    GpStatus FFrameStatus = GpStatus::Ok;
    GpStatus FLastStatus = GpStatus::Ok;
    int FSelectCalls = 0;
    int FDecodes = 0;

    friend class TGPBitmap;
};

class TGPBitmap : public TGPImage {
public:
    // Opens a file by its content (never its extension). Always returns an
    // object; an undecodable or missing file gives 0 frames and a failing
    // status. Reads only headers: frames are decoded when asked for.
    static std::unique_ptr<TGPBitmap> FromFile(const QString& path);
    // A 1 by 1 1-bit indexed bitmap (black and white colour table).
    static std::unique_ptr<TGPBitmap> CreateBlank();
    // A bitmap of its own over a copy of the picture (what the window or the
    // clipboard hands over). A null picture gives 0 frames.
    static std::unique_ptr<TGPBitmap> FromQImage(const QImage& image);

    // An independent one-frame copy of an area of the selected frame,
    // converted to pixelFormat (use GetPixelFormat() to keep it). None when
    // the copy fails; the failing status is then kept by this object.
    std::unique_ptr<TGPBitmap> CloneArea(int x, int y, int width, int height, quint32 pixelFormat);
    // An independent one-frame copy of the selected frame, same format and
    // resolution. None when it fails.
    std::unique_ptr<TGPBitmap> Clone();

    // The file the bitmap was opened from; empty for one made in memory.
    const QString& FileName() const { return FFileName; }
    // A path to open the very file this bitmap holds open, whatever was done
    // to its name since (see HandlePath); empty when it holds none.
    QString OpenFilePath() const;

protected:
    TGPBitmap() = default;
    void OpenFile(const QString& path);
    QString FFileName;
};

// For the user: why the selected frame cannot be shown or printed whole
// (too large for the limits, or damaged or of an unknown kind); empty when
// it decoded.
QString FrameFailureText(TGPImage& image);

// Smooth downscale by area averaging (box filter) so that the whole frame
// fits in `box`, keeping its aspect. A frame that already fits is returned as
// it is. Bilevel, gray and gray-palette frames give Grayscale8 (1-bit frames
// are averaged straight from their bits); colour frames keep their 8-bit
// channel layout (RGB888, RGB32, RGBA8888...), colour palettes give RGB888.
QImage FitImage(const QImage& image, QSize box);
// The same to an exact size.
QImage BoxDownscale(const QImage& image, QSize size);

// ---- Encoders ---------------------------------------------------------------

// The TIFF compressions the writer is asked for (WriteTiffFrame).
constexpr int EncoderValueCompressionLZW = 2;
constexpr int EncoderValueCompressionCCITT4 = 4;

} // namespace gd
