#pragma once

// How pages come into a page list: the document's own file, frames of
// another file, a scanned file, and the edited picture.

#include "document/GdipExt.h"

#include <QImage>
#include <QString>
#include <memory>

namespace gd {

// Opens the document at `path` into `pages`: one page per frame, all on one
// shared source bitmap; not modified. An undecodable file leaves a list with
// a source and no pages. Nothing is reported.
void OpenDocument(TImagePages& pages, const QString& path);

// The file as a bitmap of its own, not put into any list.
std::unique_ptr<TGPBitmapExt> OpenBitmap(const QString& path);

// Copies every frame of the file at `path` as an independent page, inserted
// in order at `position` (a gap of the list, 0 to Count(); -1: after the
// current page), and marks the list modified when any was. The current page
// stays on its page. Returns the number of pages inserted. A frame whose copy
// fails is still inserted, as a page without image.
int CopyFramesIn(TImagePages& pages, const QString& path, int position = -1);

// A page with its own copy of the edited picture.
std::unique_ptr<TImagePage> PageFromImage(const QImage& picture);

struct TPageProperties {
    quint32 PixelFormat = 0;
    quint32 Flags = 0;
    double HorizontalResolution = 0;
};
// Through GetBitmap (which selects the page's frame, and may throw). All zero
// for a page without image.
TPageProperties GetPageProperties(TImagePage& page);

} // namespace gd
