#pragma once

namespace gd {

// What the enable rules of the window read, gathered once per idle moment.
struct TWindowState {
    bool editMode = false;     // a held EDIT request is open
    bool imageChanged = false; // the shown picture was edited, not yet in the page list
    bool modified = false;     // the page list differs from the document's file
    int pageIndex = -1;        // current page, -1 for none
    int pageCount = 0;
    bool serverActive = false; // the server switch is on
    bool printerAvailable = false;
    bool scannerAvailable = false;
    bool pictureShown = false; // the picture control holds a picture
    bool clipboardHasImage = false;
    bool canPrintSource = true; // the document has a file to print from
    // The pages the organiser's actions act on (the current page alone when
    // no other is selected): first and last, -1 for none, and how many.
    int selectionFirst = -1;
    int selectionLast = -1;
    int selectionCount = 0;
};

// The enabled state of every action and of the two controls whose state
// rides on an action's rule.
struct TActionStates {
    bool autoCommand = false;
    bool import = false;
    bool save = false;
    bool scan = false;
    bool print = false;
    bool exportPdf = false;
    bool cut = false, copy = false, clear = false, pageDel = false;
    bool paste = false;
    bool pageAddFromFile = false;
    bool pageAddFromScan = false;
    bool undo = false;
    bool pagePrior = false;
    bool pageNext = false;
    bool pageAddMenu = false; // the submenu "Добавить"
    bool pageList = false;    // cbxPage
    // The page organiser: in view mode only the panel and zoom.
    bool thumbnails = false; // the panel's toggle
    bool zoomIn = false, zoomOut = false, actualSize = false, fitWidth = false;
    bool movePageUp = false, movePageDown = false;
    bool rotateLeft = false, rotateRight = false, rotate180 = false;
};

TActionStates ComputeActionStates(const TWindowState& s);

} // namespace gd
