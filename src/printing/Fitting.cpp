#include "Fitting.h"

namespace gd {

TPageFit FitPage(int PW, int PH, int frameW, int frameH) {
    if (frameW <= 0 || frameH <= 0 || PW <= 0 || PH <= 0)
        return {};
    float w = static_cast<float>(frameW);
    float h = static_cast<float>(frameH);
    const float r = w / h;
    if (PW > w && PH > h) {
        // A square frame takes the width branch.
        if (w >= h) {
            w = static_cast<float>(PW);
            h = static_cast<float>(PW) / r;
        } else {
            h = static_cast<float>(PH);
            w = static_cast<float>(PH) * r;
        }
    }
    if (w > PW) {
        w = static_cast<float>(PW);
        h = static_cast<float>(PW) / r;
    }
    if (h > PH) {
        h = static_cast<float>(PH);
        w = static_cast<float>(PH) * r;
    }
    return {static_cast<int>(w), static_cast<int>(h)};
}

} // namespace gd
