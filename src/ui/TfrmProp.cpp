#include "TfrmProp.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>

namespace gd {

QString Hex8(quint32 value) {
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char(' ')).toUpper();
}

TfrmProp::TfrmProp(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmProp"));
    setWindowTitle(QStringLiteral("Свойства"));

    auto* tabs = new QTabWidget(this);
    auto* type = new QWidget;
    cbxPixelFormat = new QComboBox(type);
    cbxPixelFormat->setEditable(true);
    cbxPixelFormat->addItems({QStringLiteral("Монохромный (1 разряд)"),
                              QStringLiteral("Оттенки серого (8 разрядов)"),
                              QStringLiteral("Палитра (256 цветов, 8 разрядов)"),
                              QStringLiteral("True Color (24 разряда)")});
    cbxResolution = new QComboBox(type);
    cbxResolution->setEditable(true);
    cbxResolution->addItems({QStringLiteral("50 "), QStringLiteral("100"), QStringLiteral("150"),
                             QStringLiteral("200"), QStringLiteral("300"), QStringLiteral("400"),
                             QStringLiteral("600")});
    edtFlags = new QLineEdit(type);
    auto* form = new QFormLayout(type);
    form->addRow(cbxPixelFormat);
    auto* resRow = new QHBoxLayout;
    resRow->addWidget(new QLabel(QStringLiteral("Разрешение"), type));
    resRow->addWidget(cbxResolution);
    resRow->addWidget(new QLabel(QStringLiteral("точек / дюйм"), type));
    form->addRow(resRow);
    form->addRow(edtFlags);
    tabs->addTab(type, QStringLiteral("Тип"));

    auto* compression = new QWidget;
    auto* cbxCompression = new QComboBox(compression);
    cbxCompression->setEditable(true);
    (new QVBoxLayout(compression))->addWidget(cbxCompression);
    tabs->addTab(compression, QStringLiteral("Сжатие"));
    tabs->addTab(new QWidget, QStringLiteral("Размер"));
    tabs->setFixedSize(280, 145);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TfrmProp::SetProperties(quint32 pixelFormat, quint32 flags, double dpi) {
    cbxPixelFormat->setEditText(Hex8(pixelFormat));
    edtFlags->setText(Hex8(flags));
    cbxResolution->setEditText(QString::number(static_cast<long long>(std::trunc(dpi))));
}

} // namespace gd
