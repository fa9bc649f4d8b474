#pragma once

// Writing one TIFF directory from a picture (internal to the document save).

#include <QImage>
#include <tiffio.h>

namespace gd {

// Writes `img` as the current directory of `tif`: G4 for a black and white
// 1-bit picture when `compression` is EncoderValueCompressionCCITT4, else LZW
// (with the horizontal predictor for gray and colour). False on any failure.
bool WriteTiffFrame(TIFF* tif, QImage img, double dpiX, double dpiY, int compression);

} // namespace gd
