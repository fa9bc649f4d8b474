#pragma once

#include <QRect>

namespace gd {

class IniFile;

// Section "Layout" of the settings file: where the window stood, its size,
// the stay-on-top and fit-in-window modes, and the thumbnail panel.
struct TLayout {
    QRect bounds;
    bool stayOnTop = false;
    bool fitInWindow = false;
    // Hidden at first, so that the first-run window keeps its classic look.
    bool thumbnails = false;
    int thumbnailsWidth = 160;
};

// Missing or non-integer values keep the given defaults (the window's bounds,
// the thumbnail panel's visibility and width); so does a width below 1.
TLayout ReadLayout(const IniFile& ini, const TLayout& defaults);
// Throws gd::Exception "Unable to write to <path>" when a key cannot be written.
void WriteLayout(const IniFile& ini, const TLayout& layout);

} // namespace gd
