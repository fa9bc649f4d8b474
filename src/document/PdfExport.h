#pragma once

// Export of a document's pages to one PDF file, without losing anything of
// what the pages hold: G4 and G3 pages are embedded as the fax data they
// are, JPEG pages as the JPEG they are, and every other page decoded and
// stored losslessly (Flate with a PNG predictor chosen per row) in its own
// depth: 1-bit stays 1-bit, gray stays gray, palettes stay indexed.

#include <QImage>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace gd {

class TImagePages;

// One page to export: a frame of a file, or a picture of its own.
struct TPdfPage {
    QString File; // the frame `Frame` of this file, when Image is null
    int Frame = -1;
    QImage Image;                // the page's own picture
    double DpiX = 96, DpiY = 96; // of Image
};

struct TPdfExportOptions {
    // Encoding threads; 0 for one per core.
    int Threads = 0;
    // Called after each page is prepared (done of total); false cancels.
    std::function<bool(int done, int total)> Progress;
};

enum class TPdfOutcome { Written, Cancelled };

// Writes the pages to `path`, one PDF page each, sized from the page's
// resolution. The file is written beside `path` and renamed over it, so a
// failed or cancelled export leaves whatever was at `path` as it was.
// Failures raise gd::Exception: a page that cannot be read names the page,
// any other failure the file.
TPdfOutcome ExportPdf(const std::vector<TPdfPage>& pages, const QString& path,
                      const TPdfExportOptions& options = {});

// The pages of the list as the window shows them: with `imageChanged`, the
// current page is replaced by `picture` (or left out when there is none).
// The list is not changed. A page without any image gives a page with
// neither file nor picture, which the export refuses.
std::vector<TPdfPage> PdfPagesOf(const TImagePages& pages, bool imageChanged,
                                 const std::optional<QImage>& picture);

} // namespace gd
