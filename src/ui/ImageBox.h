#pragma once

#include <QImage>
#include <QWidget>

namespace gd {

// The picture control: holds a copy of the current page's image (never the
// page) and draws it either at its natural size or fitted into the area.
// The fitted picture is scaled once per size and kept, so repaints are cheap.
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

    // The rectangle the picture is drawn in, in widget coordinates.
    QRect DrawRect() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    const QImage& Scaled(const QSize& size);

    QImage FPicture;
    QString FMessage;
    QImage FScaled;
    qint64 FScaledKey = 0;
    bool FFit = false;
};

} // namespace gd
