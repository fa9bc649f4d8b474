#include "PageArea.h"

#include "ui/ImageBox.h"
#include "ui/ZoomMath.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QWheelEvent>

namespace gd {

TPageArea::TPageArea(QWidget* parent) : QScrollArea(parent), FBox(new TImageBox) {
    setObjectName(QStringLiteral("ScrollBox"));
    setBackgroundRole(QPalette::Dark);
    setStyleSheet(QStringLiteral("QScrollArea#ScrollBox { background: #c0c0c0; }"));
    setWidget(FBox);
    // The picture control paints only the picture: around it the area's
    // silver shows, fitted or not (setWidget turned the fill on).
    FBox->setAutoFillBackground(false);
    // Not fitted, a page smaller than the area starts at its top-left corner
    // (QScrollArea's own alignment), where a larger one starts too.
    connect(FBox, &TImageBox::PictureChanged, this, [this] {
        if (FMode == TZoomMode::FitWidth)
            Apply();
        else
            Notify();
    });
    Apply();
}

double TPageArea::Zoom() const {
    return FBox->Zoom();
}

void TPageArea::Apply() {
    const bool fit = FMode == TZoomMode::FitInWindow;
    // Fitted, the picture control fills the area and no scroll bars are needed.
    setWidgetResizable(fit);
    setHorizontalScrollBarPolicy(fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    if (FMode == TZoomMode::FitWidth)
        FBox->SetZoom(FitWidthZoom(FBox->Picture().size(), maximumViewportSize(),
                                   verticalScrollBar()->sizeHint().width(),
                                   FBox->devicePixelRatioF()));
    else if (FMode == TZoomMode::Percent)
        FBox->SetZoom(FPercent);
    FBox->SetFitInWindow(fit);
    Notify();
}

void TPageArea::Notify() {
    const double zoom = Zoom();
    if (zoom == FShownZoom && FMode == FShownMode)
        return;
    FShownZoom = zoom;
    FShownMode = FMode;
    emit ZoomChanged(zoom);
}

void TPageArea::SetFitInWindow(bool fit) {
    if (fit == FitInWindow() || (!fit && FMode == TZoomMode::FitWidth))
        return;
    FMode = fit ? TZoomMode::FitInWindow : TZoomMode::Percent;
    Apply();
}

void TPageArea::SetFitWidth() {
    FMode = TZoomMode::FitWidth;
    Apply();
}

void TPageArea::ZoomAt(double percent, QPointF at) {
    const double before = Zoom();
    // The point under `at` is found where the picture was drawn, before
    // scroll bars come or go.
    const QPoint origin = FBox->mapTo(viewport(), FBox->DrawRect().topLeft());
    const QSize viewportBefore = viewport()->size();
    FMode = TZoomMode::Percent;
    FPercent = std::clamp(percent, kMinZoom, kMaxZoom);
    Apply();
    if (!FBox->HasPicture())
        return;
    const QPoint to = ScrollForZoomAt(FBox->Picture().size(), viewportBefore, origin, at, before,
                                      FPercent, FBox->devicePixelRatioF());
    horizontalScrollBar()->setValue(to.x());
    verticalScrollBar()->setValue(to.y());
}

void TPageArea::SetZoom(double percent) {
    ZoomAt(percent, QRectF(viewport()->rect()).center());
}

void TPageArea::ZoomIn() {
    SetZoom(NextZoomStep(Zoom()));
}

void TPageArea::ZoomOut() {
    SetZoom(PreviousZoomStep(Zoom()));
}

void TPageArea::ActualSize() {
    SetZoom(100);
}

void TPageArea::resizeEvent(QResizeEvent* e) {
    QScrollArea::resizeEvent(e);
    if (FMode == TZoomMode::FitWidth)
        Apply();
    else
        Notify();
}

void TPageArea::wheelEvent(QWheelEvent* e) {
    if (!(e->modifiers() & Qt::ControlModifier)) {
        QScrollArea::wheelEvent(e);
        return;
    }
    e->accept();
    const int steps = WheelZoomSteps(FWheelPending, e->angleDelta().y());
    if (steps == 0)
        return;
    double zoom = Zoom();
    for (int i = 0; i < std::abs(steps); ++i)
        zoom = steps > 0 ? NextZoomStep(zoom) : PreviousZoomStep(zoom);
    ZoomAt(zoom, e->position());
}

void TPageArea::keyPressEvent(QKeyEvent* e) {
    if ((e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        switch (e->key()) {
        case Qt::Key_PageUp:
            emit PriorPage();
            return;
        case Qt::Key_PageDown:
            emit NextPage();
            return;
        case Qt::Key_Home:
            emit FirstPage();
            return;
        case Qt::Key_End:
            emit LastPage();
            return;
        default:
            break;
        }
    }
    QScrollArea::keyPressEvent(e);
}

} // namespace gd
