#pragma once

// The page list written as one multi-page TIFF, pages encoded in parallel
// and written in order (internal to the document save and its benchmark).

#include "document/GdipExt.h"

#include <QString>
#include <functional>

namespace gd {

// Writes every page as one multi-page TIFF at `path` (G4 for 1-bit pages,
// LZW otherwise), pages encoded on `threads` threads and written in order.
// Untouched pages are read from the file the source bitmap holds open (each
// thread through an open file description of its own), never by its name;
// frames with a compression no codec here reads are copied as they are.
// Returns the number of pages written; on a write failure returns -1 and
// removes the file; a page that cannot be written throws "Страница N не может
// быть сохранена: <why>" (file removed). Must not run while another thread
// uses the pages.
int WriteTiffPages(TImagePages& pages, const QString& path, int threads,
                   const std::function<void(int, int)>& progress = {}, bool copyCompressed = true);

// "Страница N не может быть сохранена: <why>" for the page at `index`.
QString PageNotSaved(int index, const QString& why);

} // namespace gd
