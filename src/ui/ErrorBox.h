#pragma once

#include <QString>

class QWidget;

namespace gd {

// The standard error box: stop icon, one OK button, the application title as
// caption, "\r" shown as a line break, and the full-stop rule. Every message is
// also written to standard error as one line; on the offscreen platform nobody
// can answer a box, so it goes to standard error only.
void ShowErrorBox(QWidget* parent, const QString& message);

bool IsOffscreenPlatform();

} // namespace gd
