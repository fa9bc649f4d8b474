#pragma once

#include <QLabel>

namespace gd {

// The path line above the page: one line with a sunken border, elided in the
// middle to its own width, the whole path in its tooltip. It never asks the
// window for room, however long the path. text() is the whole path.
class TPathLine : public QLabel {
    Q_OBJECT
public:
    explicit TPathLine(QWidget* parent = nullptr);

    void SetPath(const QString& path);
    // What is drawn at the present width.
    QString ShownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QRect TextRect() const;
};

} // namespace gd
