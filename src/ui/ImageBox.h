#pragma once

#include <QImage>
#include <QWidget>

namespace gd {

// The picture control: holds a copy of the current page's image (never the
// page) and draws it either fitted into the area or at a zoom percentage
// (100 % is one image pixel per device pixel). A reduced picture is made once
// per size by area averaging and kept, so repaints are cheap; an enlarged one
// is drawn from the exposed part of the picture, as keeping it whole would
// cost up to 64 times the page.
class TImageBox : public QWidget {
    Q_OBJECT
public:
    explicit TImageBox(QWidget* parent = nullptr);

    bool HasPicture() const { return !FPicture.isNull(); }
    const QImage& Picture() const { return FPicture; }
    void SetPicture(const QImage& picture);
    void ClearPicture() { SetPicture(QImage()); }
    // No picture, and in its place a text that says why (a page that cannot
    // be shown). SetPicture drops the text.
    void SetMessage(const QString& text);
    const QString& Message() const { return FMessage; }
    // For in-place edits of the shown picture; call PictureEdited() afterwards.
    QImage& EditPicture() { return FPicture; }
    void PictureEdited();

    void SetFitInWindow(bool fit);
    bool FitInWindow() const { return FFit; }
    // The percentage drawn when not fitted; the control sizes itself to it.
    void SetZoom(double percent);
    // The percentage the picture is drawn at, fitted or not.
    double Zoom() const;

    // The rectangle the picture is drawn in, in widget coordinates.
    QRect DrawRect() const;
    // The reduced picture kept for the last size drawn (null when none).
    const QImage& ReducedPicture() const { return FScaled; }

    QSize sizeHint() const override;

signals:
    // The picture, its message or its pixels changed (not the zoom).
    void PictureChanged();

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void Changed();
    const QImage& Reduced(const QSize& deviceSize);
    void DrawEnlarged(QPainter& p, const QRect& r, const QRect& exposed);

    QImage FPicture;
    QString FMessage;
    QImage FScaled;
    qint64 FScaledKey = 0;
    bool FFit = false;
    double FZoom = 100;
};

} // namespace gd
