// One TIFF directory from a picture (G4 for 1-bit pages, LZW with predictor
// otherwise).

#include "document/ImageServices.h"
#include "document/TiffWrite.h"

#include <cstring>
#include <tiffio.h>
#include <vector>

namespace gd {

namespace {

bool IsBlackAndWhite(const QImage& img) {
    if (img.colorCount() < 2)
        return true;
    for (int i = 0; i < 2; ++i) {
        const QRgb c = img.color(i);
        if (!qIsGray(c) || (qGray(c) != 0 && qGray(c) != 255))
            return false;
    }
    return qGray(img.color(0)) != qGray(img.color(1));
}

} // namespace

bool WriteTiffFrame(TIFF* tif, QImage img, double dpiX, double dpiY, int compression) {
    if (img.isNull())
        return false;
    uint16_t photo = PHOTOMETRIC_RGB, bps = 8, spp = 3, comp = COMPRESSION_LZW,
             predictor = PREDICTOR_NONE;
    bool invertBits = false;
    std::vector<uint16_t> map;
    switch (img.format()) {
    case QImage::Format_MonoLSB:
        img = img.convertToFormat(QImage::Format_Mono);
        [[fallthrough]];
    case QImage::Format_Mono:
        bps = 1;
        spp = 1;
        if (IsBlackAndWhite(img)) {
            // Bit value 0 means color(0): white for MinIsWhite.
            const bool zeroIsWhite = img.colorCount() >= 2 && qGray(img.color(0)) == 255;
            photo = zeroIsWhite ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK;
            if (img.colorCount() < 2) {
                photo = PHOTOMETRIC_MINISBLACK;
            } else if (!zeroIsWhite && compression == EncoderValueCompressionCCITT4) {
                // Fax coding expects white as 0: flip the bits.
                photo = PHOTOMETRIC_MINISWHITE;
                invertBits = true;
            }
            comp = compression == EncoderValueCompressionCCITT4 ? COMPRESSION_CCITTFAX4
                                                                : COMPRESSION_LZW;
        } else {
            photo = PHOTOMETRIC_PALETTE;
            for (int c = 0; c < 3; ++c)
                for (int i = 0; i < 2; ++i) {
                    const QRgb v = i < img.colorCount() ? img.color(i) : qRgb(255, 255, 255);
                    map.push_back(uint16_t((c == 0   ? qRed(v)
                                            : c == 1 ? qGreen(v)
                                                     : qBlue(v)) *
                                           257));
                }
        }
        break;
    case QImage::Format_Indexed8:
        photo = PHOTOMETRIC_PALETTE;
        spp = 1;
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 256; ++i) {
                const QRgb v = i < img.colorCount() ? img.color(i) : qRgb(0, 0, 0);
                map.push_back(uint16_t((c == 0 ? qRed(v) : c == 1 ? qGreen(v) : qBlue(v)) * 257));
            }
        break;
    case QImage::Format_Grayscale8:
        photo = PHOTOMETRIC_MINISBLACK;
        spp = 1;
        predictor = PREDICTOR_HORIZONTAL;
        break;
    case QImage::Format_Grayscale16:
        photo = PHOTOMETRIC_MINISBLACK;
        spp = 1;
        bps = 16;
        predictor = PREDICTOR_HORIZONTAL;
        break;
    default:
        predictor = PREDICTOR_HORIZONTAL;
        if (img.hasAlphaChannel()) {
            img = img.convertToFormat(QImage::Format_RGBA8888);
            spp = 4;
        } else if (img.format() != QImage::Format_RGB888) {
            img = img.convertToFormat(QImage::Format_RGB888);
        }
        break;
    }
    if (img.isNull())
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(img.width()));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(img.height()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photo);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, comp);
    if (predictor != PREDICTOR_NONE)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, predictor);
    if (spp == 4) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (!map.empty()) {
        const size_t n = map.size() / 3;
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(dpiX));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(dpiY));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                 comp == COMPRESSION_CCITTFAX4 ? uint32_t(img.height())
                                               : TIFFDefaultStripSize(tif, 0));
    const qsizetype rowBytes = qsizetype(TIFFScanlineSize64(tif));
    std::vector<uchar> row(size_t(std::max<qsizetype>(rowBytes, 1)));
    for (int y = 0; y < img.height(); ++y) {
        std::memcpy(row.data(), img.constScanLine(y),
                    size_t(std::min(rowBytes, img.bytesPerLine())));
        if (invertBits)
            for (auto& b : row)
                b = uchar(~b);
        if (TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) < 0)
            return false;
    }
    return TIFFWriteDirectory(tif) == 1;
}

} // namespace gd
