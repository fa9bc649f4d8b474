#pragma once

// The frames of a file behind a TGPImage (internal to the image services).

#include "document/ImageServices.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QUuid>
#include <memory>
#include <vector>

typedef struct tiff TIFF;

namespace gd {

struct TFrameHeader {
    int Width = 0;
    int Height = 0;
    quint32 PixelFormat = 0;
    quint32 Flags = 0;
    double DpiX = 96;
    double DpiY = 96;
};

class TFrameSource {
public:
    virtual ~TFrameSource() = default;
    virtual int FrameCount() const = 0;
    virtual QUuid Dimension() const { return FrameDimensionPage; }
    // Reads the frame's header; a failing status when it cannot be read.
    virtual GpStatus ReadHeader(int index, TFrameHeader& header) = 0;
    // Decodes the frame. `image` may hold a partly decoded frame even when
    // the status fails (a damaged strip leaves its rows blank).
    virtual GpStatus Decode(int index, QImage& image) = 0;
    // The descriptor of the file the source holds open; -1 when none.
    virtual int Handle() const { return -1; }
};

// A path that opens the file behind an open descriptor again, as a new open
// file description of its own (own offset), even after the file was renamed
// or deleted: never the file's name.
QString HandlePath(int fd);

// Opens a file by its content: TIFF through libtiff, anything else through
// Qt's codecs. None when nothing can read it; `status` tells why.
std::unique_ptr<TFrameSource> OpenFrameSource(const QString& path, GpStatus& status);

bool FrameSizeAllowed(qint64 width, qint64 height, int bitsPerPixel);

// TIFF (TiffSource.cpp): whether a file's first bytes are a TIFF or BigTIFF
// header, and a TIFF file's frames through libtiff.
bool IsTiffSignature(const QByteArray& head);
std::unique_ptr<TFrameSource> OpenTiffSource(const QString& path, GpStatus& status);

// TIFF files for readers that need the stored data (the PDF export, through
// a TiffIo handle): the offsets of the frames' directories as the frames are
// numbered here.
std::vector<quint64> TiffDirectoryOffsets(const QString& path);
// The header of the handle's current directory, as the frame reads it.
bool ReadTiffFrameHeader(TIFF* tif, TFrameHeader& header);

} // namespace gd
