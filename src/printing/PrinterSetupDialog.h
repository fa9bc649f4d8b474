#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

namespace gd {

// The printer setup dialog: the installed printers, the one given selected,
// and the chosen printer's properties.
class TPrinterSetupDialog : public QDialog {
    Q_OBJECT
public:
    TPrinterSetupDialog(QWidget* parent, const QString& printer);

    QString SelectedPrinter() const;

    QComboBox* cbxPrinter = nullptr;
    QLabel* lblInfo = nullptr;
    QPushButton* btnProperties = nullptr;

private:
    void ShowInfo();
    void ShowProperties();
};

} // namespace gd
