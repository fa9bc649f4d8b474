#pragma once

// Page editing of the open document: the shown picture (clear, copy, paste,
// delete page) and the page list (pages from a file, import, save).

#include "document/Saving.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <functional>

class QClipboard;
class QWidget;

namespace gd {

class TOpenDocument;

// The open-file dialog's filters: the four entries of the picture formats,
// matching extensions in any letter case.
QStringList OpenFileFilters();
// The open-file dialog for pictures over `parent`; empty on Cancel.
QString ChooseImageFile(QWidget* parent);
// Paints the whole picture white, in its own pixel format.
void FillWhite(QImage& picture);
// The clipboard picture drawn into `shown`'s pixel format (palette kept), at
// the clipboard picture's size; null when it cannot be converted.
QImage PasteInto(const QImage& shown, const QImage& clip);

class TEditor {
public:
    explicit TEditor(TOpenDocument& doc);

    // Seams: the chosen file (empty on Cancel) and the clipboard (null when it
    // cannot be opened).
    std::function<QString()> ChooseFile;
    std::function<QClipboard*()> Clipboard;

    void Clear();
    void Copy();  // "Cannot open clipboard"
    void Paste(); // "Cannot open clipboard", "Unsupported clipboard format"
    void PageDel();
    void PageAddFromFile();
    void Import();
    // Saves the document; many pages show a progress window over `parent`.
    TSaveOutcome Save(TSaveOptions options, QWidget* parent);
    // Writes the pages as shown, unsaved edits included, without saving, to
    // the file chosen (given the document's name in the user's documents
    // folder; empty: Cancel; ".pdf" added to a name without extension). A
    // long export shows a progress window over `parent` that can cancel it.
    void ExportPdf(const std::function<QString(const QString& suggested)>& choose, QWidget* parent);
    // A scanned page in place of the current page ("Сканировать..."), or
    // appended.
    void Scan(QWidget* parent, bool replaceCurrent);

private:
    TOpenDocument& FDoc;
};

} // namespace gd
