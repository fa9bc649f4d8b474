#pragma once

// The window's insides for tests and benchmarks (no test framework here).

#include "ui/TfrmMain.h"

namespace gd {

// The one way tests reach the window's insides (its actions, widgets and the
// open document), which the program itself keeps private.
struct TfrmMainTestAccess {
    explicit TfrmMainTestAccess(TfrmMain& w)
        : A(w.A), I(w.I), Doc(w.FDoc), Host(w), ToolBarImg(w.ToolBarImg), StaticText(w.StaticText),
          ScrollBox(w.ScrollBox), ImageBox(w.ImageBox), PageArea(w.PageArea),
          Thumbnails(w.Thumbnails), cbxPage(w.cbxPage), StatusPanel1(w.StatusPanel1),
          StatusPanel2(w.StatusPanel2), StatusPanel3(w.StatusPanel3), W(w) {}
    TMainActions& A;
    TMainItems& I;
    TOpenDocument& Doc;
    IServerHost& Host;
    QToolBar* const ToolBarImg;
    TPathLine* const StaticText;
    QScrollArea* const ScrollBox;
    TImageBox* const ImageBox;
    TPageArea* const PageArea;
    TThumbnailPanel* const Thumbnails;
    QComboBox* const cbxPage;
    QLabel* const StatusPanel1;
    QLabel* const StatusPanel2;
    QLabel* const StatusPanel3;
    TEditor& Editor() { return W.Editor(); }
    TPrinting& Printing() { return W.Printing(); }
    TfrmProp& GetFrmProp() { return W.GetFrmProp(); }
    void UpdateActions() { W.UpdateActions(); }
    void cbxPageCloseUp(int index) { W.cbxPageCloseUp(index); }

private:
    TfrmMain& W;
};

} // namespace gd
