#pragma once

#include <QRect>
#include <QSize>

namespace gd {

// Where a picture of size w x h is drawn in an area of cw x ch when it fills
// the area: shrunk keeping proportions when larger (never enlarged), centred,
// with the halves truncated toward zero.
QRect FitInWindowRect(QSize picture, QSize area);

} // namespace gd
