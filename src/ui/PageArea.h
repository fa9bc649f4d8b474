#pragma once

#include <QScrollArea>

namespace gd {

class TImageBox;

enum class TZoomMode {
    FitInWindow, // the whole page in the area, never enlarged
    FitWidth,    // the page's width fills the area
    Percent,     // a zoom percentage, kMinZoom..kMaxZoom
};

// The scrolled page area of the main window (object name "ScrollBox") with
// its picture control: zoom modes, Ctrl+wheel zoom around the mouse, and page
// keys turned into navigation requests. The margins around the page are
// silver in every mode.
class TPageArea : public QScrollArea {
    Q_OBJECT
public:
    explicit TPageArea(QWidget* parent = nullptr);

    TImageBox* ImageBox() const { return FBox; }

    TZoomMode ZoomMode() const { return FMode; }
    bool FitInWindow() const { return FMode == TZoomMode::FitInWindow; }
    // The percentage the page is drawn at, also when fitted.
    double Zoom() const;

    // Off returns to the last percentage (100 % at first); off while fitting
    // the width changes nothing.
    void SetFitInWindow(bool fit);
    void SetFitWidth();
    // A percentage, limited to kMinZoom..kMaxZoom, around the area's centre.
    void SetZoom(double percent);
    // The next or previous zoom step; from a fitted zoom the step beyond it.
    void ZoomIn();
    void ZoomOut();
    void ActualSize();

signals:
    // The effective zoom or the mode changed.
    void ZoomChanged(double zoom);
    void PriorPage();
    void NextPage();
    void FirstPage();
    void LastPage();

protected:
    void resizeEvent(QResizeEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void Apply();
    void ZoomAt(double percent, QPointF at);
    void Notify();

    TImageBox* FBox;
    TZoomMode FMode = TZoomMode::Percent;
    double FPercent = 100;
    int FWheelPending = 0;
    double FShownZoom = 0;
    TZoomMode FShownMode = TZoomMode::Percent;
};

} // namespace gd
