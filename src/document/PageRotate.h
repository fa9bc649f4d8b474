#pragma once

// Exact page rotation by quarter turns: pixels are moved, never resampled,
// so a 1-bit page stays 1-bit and an indexed page keeps its palette.

#include "document/GdipExt.h"

#include <QImage>
#include <vector>

namespace gd {

enum class TRotation {
    Left,  // a quarter turn counter-clockwise
    Right, // a quarter turn clockwise
    Half,  // 180 degrees
};

// The image turned, in its own format with its colour table; a quarter turn
// swaps the horizontal and vertical resolution with the sides. A null image
// gives a null image. Every QImage format is handled; 1-bit images are turned
// on their bits (8 by 8 blocks), not pixel by pixel.
QImage RotateImage(const QImage& image, TRotation turn);

// Replaces each listed page by its image turned (an image of its own, so it
// is saved as pixels; 1-bit pages are written as G4). A page without an image
// is left as it is. Marks the list modified when any page turned. Index
// errors throw before anything changes.
void RotatePages(TImagePages& pages, const std::vector<int>& indexes, TRotation turn);

} // namespace gd
