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
    return a;
}

} // namespace gd
