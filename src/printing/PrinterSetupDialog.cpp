#include "PrinterSetupDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QVBoxLayout>

namespace gd {

TPrinterSetupDialog::TPrinterSetupDialog(QWidget* parent, const QString& printer)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Выбор принтера"));
    cbxPrinter = new QComboBox(this);
    cbxPrinter->addItems(QPrinterInfo::availablePrinterNames());
    const int index = cbxPrinter->findText(printer);
    if (index >= 0)
        cbxPrinter->setCurrentIndex(index);
    lblInfo = new QLabel(this);
    lblInfo->setWordWrap(true);
    btnProperties = new QPushButton(QStringLiteral("Свойства..."), this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Принтер:"), cbxPrinter);
    form->addRow(QString(), lblInfo);
    form->addRow(QString(), btnProperties);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    connect(cbxPrinter, &QComboBox::currentIndexChanged, this, &TPrinterSetupDialog::ShowInfo);
    connect(btnProperties, &QPushButton::clicked, this, &TPrinterSetupDialog::ShowProperties);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(cbxPrinter->count() > 0);
    btnProperties->setEnabled(cbxPrinter->count() > 0);
    ShowInfo();
}

QString TPrinterSetupDialog::SelectedPrinter() const {
    return cbxPrinter->currentText();
}

void TPrinterSetupDialog::ShowInfo() {
    const QPrinterInfo info = QPrinterInfo::printerInfo(SelectedPrinter());
    if (info.isNull()) {
        lblInfo->clear();
        return;
    }
    QStringList lines;
    if (!info.makeAndModel().isEmpty())
        lines << QStringLiteral("Модель: %1").arg(info.makeAndModel());
    if (!info.location().isEmpty())
        lines << QStringLiteral("Размещение: %1").arg(info.location());
    if (!info.description().isEmpty())
        lines << QStringLiteral("Описание: %1").arg(info.description());
    if (info.isDefault())
        lines << QStringLiteral("Принтер по умолчанию");
    lblInfo->setText(lines.join(QLatin1Char('\n')));
}

void TPrinterSetupDialog::ShowProperties() {
    // The paper settings the driver offers. Jobs always use the printer's
    // own defaults, as the job is set up from the printer alone.
    QPrinter printer(QPrinterInfo::printerInfo(SelectedPrinter()));
    QPageSetupDialog dialog(&printer, this);
    dialog.exec();
}

} // namespace gd
