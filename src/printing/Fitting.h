#pragma once

namespace gd {

// Width and height, in device pixels, at which one page is drawn.
struct TPageFit {
    int W = 0;
    int H = 0;
    friend bool operator==(const TPageFit&, const TPageFit&) = default;
};

// Fits a frame of frameW x frameH pixels into a printable area of PW x PH
// device pixels, keeping its proportions: a frame smaller than the area both
// ways is enlarged, then a frame still too wide is narrowed and one too high
// lowered. The working values are single precision on purpose, so every
// printer and every build draws a page at the same size to the pixel.
// A frame without pixels, or an area without pixels, draws nothing.
TPageFit FitPage(int PW, int PH, int frameW, int frameH);

} // namespace gd
