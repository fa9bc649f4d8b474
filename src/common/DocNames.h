#pragma once

// How a document name becomes a file in the documents folder. Pure rules over
// the file system, shared by the server (PRINT, DELETE, the checks before
// SHOW and EDIT) and the open document.

#include <QString>

namespace gd {

// A name that may reach the file system: a bare, non-empty file name.
bool IsSafeDocName(const QString& name);
// The document's file in `folder`: the first existing of .tif, .bmp, .jpg,
// else the name with `defaultExt` (without its dot).
QString DocFileName(const QString& folder, const QString& name, const QString& defaultExt);
// Whether a document's file may be opened: a link must lead, through every
// link on the way, to a regular file inside `folder`. A path that names
// nothing passes (there is nothing to open).
bool DocFileInFolder(const QString& folder, const QString& path);

} // namespace gd
