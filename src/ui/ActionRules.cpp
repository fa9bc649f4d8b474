#include "ActionRules.h"

namespace gd {

TActionStates ComputeActionStates(const TWindowState& s) {
    TActionStates a;
    const bool unsaved = s.modified || s.imageChanged;
    // The server cannot be switched over unsaved changes.
    a.autoCommand = !unsaved;
    a.import = s.editMode;
    a.pageAddFromFile = s.editMode;
    a.save = s.editMode && unsaved;
    a.undo = s.editMode && unsaved;
    a.scan = s.editMode && s.scannerAvailable;
    a.pageAddFromScan = s.editMode && s.scannerAvailable;
    a.print = s.printerAvailable && !s.serverActive && s.pictureShown && s.canPrintSource;
    // The pages as shown, edits included: view mode too.
    a.exportPdf = s.pictureShown;
    a.cut = a.copy = a.clear = a.pageDel = s.editMode && s.pictureShown;
    a.pageAddMenu = s.editMode;
    a.paste = s.editMode && s.clipboardHasImage;
    a.pagePrior = s.pageCount >= 2 && s.pageIndex > 0;
    a.pageNext = s.pageCount >= 2 && s.pageIndex < s.pageCount - 1;
    a.pageList = s.pageCount >= 1;
    a.thumbnails = true;
    a.zoomIn = a.zoomOut = a.actualSize = a.fitWidth = s.pictureShown;
    // A selection can move up unless it is already one block at the top
    // (then no page changes place), and down likewise.
    const bool selected = s.selectionCount > 0 && s.selectionFirst >= 0;
    const bool oneBlock = s.selectionLast - s.selectionFirst + 1 == s.selectionCount;
    a.movePageUp = s.editMode && selected && (s.selectionFirst > 0 || !oneBlock);
    a.movePageDown = s.editMode && selected && (s.selectionLast < s.pageCount - 1 || !oneBlock);
    a.rotateLeft = a.rotateRight = a.rotate180 = s.editMode && s.pictureShown;
    return a;
}

} // namespace gd
