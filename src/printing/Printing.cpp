#include "Printing.h"

#include "BitmapPrintImage.h"
#include "PrinterSetupDialog.h"
#include "common/Exception.h"
#include "common/Messages.h"

#include <QPrintDialog>
#include <QProgressDialog>

namespace gd {

namespace {

// The unattended PRINT command shows no dialog, only what it prints.
class TStatusProgress : public IPrintProgress {
public:
    TStatusProgress(const std::function<void(const QString&)>& status, const QString& title)
        : FStatus(status), FTitle(title) {}
    ~TStatusProgress() override {
        if (FStatus)
            FStatus(QString());
    }
    TStatusProgress(const TStatusProgress&) = delete;
    TStatusProgress& operator=(const TStatusProgress&) = delete;
    bool Sheet(int index, int count) override {
        if (FStatus)
            FStatus(QStringLiteral("Печать \"%1\": лист %2 из %3")
                        .arg(FTitle)
                        .arg(index + 1)
                        .arg(count));
        return true;
    }

private:
    const std::function<void(const QString&)>& FStatus;
    QString FTitle;
};

class TProgressDialog : public IPrintProgress {
public:
    TProgressDialog(QWidget* parent, const QString& title)
        : FDialog(QStringLiteral("Печать \"%1\"...").arg(title), QStringLiteral("Отмена"), 0, 1,
                  parent) {
        FDialog.setWindowTitle(QStringLiteral("Печать"));
        FDialog.setWindowModality(Qt::WindowModal);
        // Jobs of a few pages end before the dialog would show.
        FDialog.setMinimumDuration(700);
        FDialog.setAutoClose(false);
        FDialog.setAutoReset(false);
    }
    bool Sheet(int index, int count) override {
        FDialog.setMaximum(count);
        FDialog.setLabelText(QStringLiteral("Лист %1 из %2").arg(index + 1).arg(count));
        FDialog.setValue(index);
        return !FDialog.wasCanceled();
    }

private:
    QProgressDialog FDialog;
};

} // namespace

TPrinting::TPrinting(bool printerAvailable)
    : OpenImage(OpenPrintImage), PrintDialog(ShowPrintDialog), SetupDialog(ShowPrinterSetupDialog),
      MakeProgress(MakeProgressDialog), FAvailable(printerAvailable) {}

TPrinting::~TPrinting() = default;

bool TPrinting::Print(const QString& title, IPrintImage& image, int copies,
                      IPrintProgress* progress) {
    TCupsPrintDevice device(FPrinter.Resolve());
    return PrintDocument(device, title, image, copies, progress);
}

void TPrinting::PrintFile(const QString& path, const QString& title, int copies) {
    // The document is opened for this job alone and released with it.
    const std::unique_ptr<IPrintImage> image = OpenImage(path);
    TStatusProgress status(StatusText, title);
    Print(title, *image, copies, &status);
}

void TPrinting::ItemPrinterClick(QWidget* parent) {
    QString current = FPrinter.Chosen();
    if (current.isEmpty())
        current = QPrinterInfo::defaultPrinterName();
    if (const std::optional<QString> chosen = SetupDialog(parent, current))
        FPrinter.Choose(*chosen);
}

void TPrinting::ActionPrintExecute(QWidget* parent, const QString& docName, IPrintImage& source,
                                   const std::function<void(const QString&)>& errorBox) {
    QString current = FPrinter.Chosen();
    if (current.isEmpty())
        current = QPrinterInfo::defaultPrinterName();
    const std::optional<TPrintChoice> choice = PrintDialog(parent, current);
    if (!choice)
        return;
    if (!choice->printer.isEmpty())
        FPrinter.Choose(choice->printer);
    const QString title = PrintJobTitle(docName);
    try {
        const std::unique_ptr<IPrintProgress> progress = MakeProgress(parent, title);
        Print(title, source, choice->copies, progress.get());
    } catch (const Exception& e) {
        errorBox(e.message());
    }
}

std::optional<TPrintChoice> ShowPrintDialog(QWidget* parent, const QString& printer) {
    QPrinter target(QPrinterInfo::printerInfo(printer));
    QPrintDialog dialog(&target, parent);
    // Printer, its properties and the copies: no range, selection or file.
    dialog.setOptions(QAbstractPrintDialog::PrintDialogOptions());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return TPrintChoice{target.printerName(), target.copyCount()};
}

std::optional<QString> ShowPrinterSetupDialog(QWidget* parent, const QString& printer) {
    TPrinterSetupDialog dialog(parent, printer);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.SelectedPrinter();
}

std::unique_ptr<IPrintProgress> MakeProgressDialog(QWidget* parent, const QString& title) {
    return std::make_unique<TProgressDialog>(parent, title);
}

} // namespace gd
