#pragma once

#include <QRect>

namespace gd {

class IniFile;

// Section "Layout" of the settings file: where the window stood, its size,
// and the stay-on-top and fit-in-window modes.
struct TLayout {
    QRect bounds;
    bool stayOnTop = false;
    bool fitInWindow = false;
};

// Missing or non-integer values keep the given defaults (the window's bounds).
TLayout ReadLayout(const IniFile& ini, const TLayout& defaults);
// Throws gd::Exception "Unable to write to <path>" when a key cannot be written.
void WriteLayout(const IniFile& ini, const TLayout& layout);

} // namespace gd
