#include "TfrmSetup.h"

#include "common/Exception.h"
#include "settings/Settings.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace gd {

TfrmSetup::TfrmSetup(TSettings& settings, QWidget* parent) : QDialog(parent), FSettings(settings) {
    setWindowTitle(QStringLiteral("Настройки"));
    setObjectName(QStringLiteral("frmSetup"));

    auto* PageControl1 = new QTabWidget(this);
    auto* tshFormat = new QWidget;
    PageControl1->addTab(tshFormat, QStringLiteral("Формат по умолчанию"));

    auto* gbxExt = new QGroupBox(QStringLiteral("Тип файла"), tshFormat);
    rbtTIF = new QRadioButton(QStringLiteral("Документ TIFF (TIF)"), gbxExt);
    rbtBMP = new QRadioButton(QStringLiteral("Точечный рисунок (BMP)"), gbxExt);
    rbtJPG = new QRadioButton(QStringLiteral("Файл JPEG (JPG)"), gbxExt);
    auto* extLayout = new QVBoxLayout(gbxExt);
    extLayout->addWidget(rbtTIF);
    extLayout->addWidget(rbtBMP);
    extLayout->addWidget(rbtJPG);

    auto* GroupBox1 = new QGroupBox(QStringLiteral("Импорт из файла"), tshFormat);
    rbtSaveOriginal =
        new QRadioButton(QStringLiteral("Сохранять исходный формат документа"), GroupBox1);
    rbtSaveConvert =
        new QRadioButton(QStringLiteral("Преобразовывать в формат по умолчанию"), GroupBox1);
    auto* importLayout = new QVBoxLayout(GroupBox1);
    importLayout->addWidget(rbtSaveOriginal);
    importLayout->addWidget(rbtSaveConvert);

    auto* pageLayout = new QVBoxLayout(tshFormat);
    pageLayout->addWidget(gbxExt);
    pageLayout->addWidget(GroupBox1);
    pageLayout->addStretch();

    auto* buttons = new QDialogButtonBox(this);
    auto* btnOK = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    auto* btnCancel = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &TfrmSetup::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    LoadControls();
}

void TfrmSetup::LoadControls() {
    switch (FSettings.DefFormat()) {
    case DocFormat::Tif:
        rbtTIF->setChecked(true);
        break;
    case DocFormat::Bmp:
        rbtBMP->setChecked(true);
        break;
    case DocFormat::Jpg:
        rbtJPG->setChecked(true);
        break;
    }
    (FSettings.GetSaveOriginal() ? rbtSaveOriginal : rbtSaveConvert)->setChecked(true);
}

void TfrmSetup::btnOKClick() {
    const DocFormat oldFormat = FSettings.DefFormat();
    const bool oldKeep = FSettings.GetSaveOriginal();
    FSettings.SetDefFormat(rbtBMP->isChecked()   ? DocFormat::Bmp
                           : rbtJPG->isChecked() ? DocFormat::Jpg
                                                 : DocFormat::Tif);
    FSettings.SetSaveOriginal(rbtSaveOriginal->isChecked());
    try {
        FSettings.SaveSetup();
    } catch (const Exception& e) {
        FSettings.SetDefFormat(oldFormat);
        FSettings.SetSaveOriginal(oldKeep);
        if (ShowError)
            ShowError(e.message());
        return;
    }
    accept();
}

} // namespace gd
