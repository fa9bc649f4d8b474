#pragma once

#include <QDialog>
#include <functional>

class QRadioButton;

namespace gd {

class TSettings;

// The settings dialog "Настройки". It edits the settings held by TSettings:
// OK writes them to the file; Cancel discards what was chosen, so the dialog
// never governs saving with choices the user took back.
class TfrmSetup : public QDialog {
    Q_OBJECT
public:
    TfrmSetup(TSettings& settings, QWidget* parent = nullptr);

    // Shows the stored state in the controls (each opening starts from it).
    void LoadControls();

    QRadioButton* rbtTIF = nullptr;
    QRadioButton* rbtBMP = nullptr;
    QRadioButton* rbtJPG = nullptr;
    QRadioButton* rbtSaveOriginal = nullptr;
    QRadioButton* rbtSaveConvert = nullptr;

    // Writes the settings; on failure shows the message and stays open.
    void btnOKClick();

    // How the dialog reports an error; the window installs the standard error box.
    std::function<void(const QString&)> ShowError;

private:
    TSettings& FSettings;
};

} // namespace gd
