#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;

namespace gd {

// The page properties dialog "Свойства": shows a page's pixel format code,
// image flags and horizontal resolution; nothing entered in it is applied.
class TfrmProp : public QDialog {
    Q_OBJECT
public:
    explicit TfrmProp(QWidget* parent = nullptr);

    // Fills the controls ("%8X" for the codes, the resolution truncated).
    void SetProperties(quint32 pixelFormat, quint32 flags, double dpi);

    QComboBox* cbxPixelFormat = nullptr;
    QComboBox* cbxResolution = nullptr;
    QLineEdit* edtFlags = nullptr;
};

// "%8X": upper-case hexadecimal right-aligned in 8 characters.
QString Hex8(quint32 value);

} // namespace gd
