#pragma once

// Every libtiff handle of the program comes from here: opened quietly (libtiff
// prints nothing; a failure shows as a failed call, and the caller words it
// for the user) and with the frame memory cap (no single allocation of
// libtiff's own beyond kMaxFrameBytes, whatever a directory claims).

#include <QString>
#include <memory>
#include <tiffio.h>
#include <vector>

namespace gd {

struct TTiffCloser {
    void operator()(TIFF* tif) const;
};
using TTiffPtr = std::unique_ptr<TIFF, TTiffCloser>;

// A file by its path, `mode` as TIFFOpen's ("r", "w", "rmh"...). An open
// descriptor is reopened as its own open file description through
// HandlePath(fd). Null when it cannot be opened.
TTiffPtr OpenTiffFile(const QString& path, const char* mode);

// A TIFF held in memory: written by one handle, read back by another.
struct TTiffMemory {
    std::vector<char> Data;
    toff_t Pos = 0;
};

// Opens `memory` for reading or writing ("rm", "wm"); reading starts at its
// beginning. `memory` must outlive the handle.
TTiffPtr OpenTiffMemory(TTiffMemory& memory, const char* mode);

// Appends the current directory of `in` to `out` as a new directory, its
// strips copied compressed as they are (tiles are not copied: the caller
// checks). False when a strip cannot be read or written, or claims more
// bytes than kMaxFrameBytes or than `in` holds.
bool CopyTiffDirectory(TIFF* in, TIFF* out);

} // namespace gd
