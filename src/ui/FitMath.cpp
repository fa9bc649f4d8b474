#include "FitMath.h"

namespace gd {

QRect FitInWindowRect(QSize picture, QSize area) {
    const int w = picture.width(), h = picture.height();
    const int cw = area.width(), ch = area.height();
    int W = w, H = h;
    if ((w > cw || h > ch) && w > 0 && h > 0) {
        const double a = double(w) / double(h);
        if (h < w) {
            W = cw;
            H = int(cw / a);
            if (H > ch) {
                H = ch;
                W = int(ch * a);
            }
        } else {
            H = ch;
            W = int(ch * a);
            if (W > cw) {
                W = cw;
                H = int(cw / a);
            }
        }
    }
    return QRect((cw - W) / 2, (ch - H) / 2, W, H);
}

} // namespace gd
