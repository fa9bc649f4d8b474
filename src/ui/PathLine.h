#pragma once

#include <QLabel>

namespace gd {

// One line of text elided to its own width, the whole text in its tooltip. It
// never asks its layout for room, however long the text; text() is the whole
// text.
class TElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit TElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

    void SetText(const QString& text);
    // What is drawn at the present width.
    QString ShownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QRect TextRect() const;

    Qt::TextElideMode FMode;
};

// The path line above the page: one line with a sunken border, elided in the
// middle.
class TPathLine : public TElidedLabel {
    Q_OBJECT
public:
    explicit TPathLine(QWidget* parent = nullptr);

    void SetPath(const QString& path) { SetText(path); }
};

} // namespace gd
