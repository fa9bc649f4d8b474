#pragma once

// Saving the open document back to its file in the documents folder.
//
// The document's file is never written in place: the new file is written
// completely beside it and then renamed over it, so a crash or a full disk
// leaves either the old document or the new one, never a half-written one.
// The other variants of the name are deleted only after the new file is in
// place. Failures raise gd::Exception and leave the old file as it was.

#include "document/GdipExt.h"
#include "document/TiffPagesWriter.h"

#include <QString>
#include <functional>

namespace gd {

// What a save needs besides the pages: the settings it follows and the seams
// tests and benchmarks set.
struct TSaveOptions {
    QString defaultExt = QStringLiteral("tif"); // the format of a re-encoding save
    bool keepOriginal = false;                  // an imported document file is kept as it is
    int jpegQuality = 75;
    // A free file name inside `folder` for the new file; by default
    // TempFileBeside.
    std::function<QString(const QString& folder)> makeTempFileName;
    // Called after each page written (done of total); may be empty.
    std::function<void(int done, int total)> progress;
    // Encoding threads; 0 for one per core.
    int threads = 0;
    // Frames of the document's file already stored as they would be written
    // (G4 bilevel) are copied compressed rather than decoded and encoded.
    bool copyCompressed = true;
};

enum class TSaveOutcome {
    Nothing, // no name, or nothing changed
    Deleted, // every page was removed: the document's file is gone
    Copied,  // the imported file was kept in its own format
    Encoded, // written in the default format and reopened
};

// Writes the pages as the document whose file is `path` (its first existing
// variant, else the name with the default extension), when the list was
// modified. On Encoded the pages are those of the new file and the page index
// is kept (clamped). A save that could not write the document raises
// "Не удалось сохранить документ \"<path>\""; a page without image, or whose
// frame does not decode, stops it with "Страница N не может быть сохранена:
// <why>". Either way nothing changes on disk.
TSaveOutcome SaveDocument(TImagePages& pages, const QString& path, const TSaveOptions& options);

// A name "~<hex>.tmp" in `folder` (with or without a trailing separator)
// that no file has yet.
QString TempFileBeside(const QString& folder);

// The canonical document extension for an image file's extension (".tif"
// for ".TIFF", ".jpg" for ".jpeg"...), with its dot; empty when the
// extension is none of the document formats.
QString DocumentExtension(const QString& fileName);

} // namespace gd
