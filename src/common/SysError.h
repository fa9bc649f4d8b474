#pragma once

#include <QString>

namespace gd {

// An errno value as the program's messages name it: in Russian for the
// errors users meet (a full disk, no access, a missing file), in the C
// library's words otherwise. The C library's own translations are not
// installed on most machines, so they cannot be relied on.
QString SystemErrorText(int error);

} // namespace gd
