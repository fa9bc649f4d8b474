#pragma once

#include "Printer.h"
#include "server/PrintCommand.h"

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace gd {

class IPrintImage;

// What the print dialog returns on OK.
struct TPrintChoice {
    QString printer;
    int copies = 1;
};

// Printing as the main window uses it; owned by the window. Implements the
// PRINT command's printer for the server.
class TPrinting : public IDocPrinter {
public:
    // printerAvailable: whether "Выбрать принтер..." was enabled at start-up.
    explicit TPrinting(bool printerAvailable);
    ~TPrinting() override;

    TCurrentPrinter& Printer() { return FPrinter; }

    // Prints on the current printer (PrintDocument over a CUPS job). False
    // when progress cancelled the job.
    bool Print(const QString& title, IPrintImage& image, int copies,
               IPrintProgress* progress = nullptr);

    // IDocPrinter: the PRINT command. Opens the file with OpenImage, prints
    // it with no dialog, telling StatusText what is printing.
    bool PrinterAvailable() const override { return FAvailable; }
    void PrintFile(const QString& path, const QString& title, int copies) override;

    // "Выбрать принтер...": the printer setup dialog; OK makes its printer
    // the current one.
    void ItemPrinterClick(QWidget* parent);

    // "Печатать...": the print dialog, then the source printed with the
    // dialog's copy count, a cancellable progress dialog for long jobs.
    // Failures go to errorBox.
    void ActionPrintExecute(QWidget* parent, const QString& docName, IPrintImage& source,
                            const std::function<void(const QString&)>& errorBox);

    // Seams. OpenImage opens a document file as a picture of its own;
    // StatusText receives what the PRINT command prints (empty at the end);
    // PrintDialog and SetupDialog stand for the dialogs (nullopt: Cancel);
    // MakeProgress makes the progress of the print action.
    std::function<std::unique_ptr<IPrintImage>(const QString& path)> OpenImage;
    std::function<void(const QString&)> StatusText;
    std::function<std::optional<TPrintChoice>(QWidget* parent, const QString& printer)> PrintDialog;
    std::function<std::optional<QString>(QWidget* parent, const QString& printer)> SetupDialog;
    std::function<std::unique_ptr<IPrintProgress>(QWidget* parent, const QString& title)>
        MakeProgress;

private:
    TCurrentPrinter FPrinter;
    bool FAvailable;
};

// The dialogs behind the seams.
std::optional<TPrintChoice> ShowPrintDialog(QWidget* parent, const QString& printer);
std::optional<QString> ShowPrinterSetupDialog(QWidget* parent, const QString& printer);
std::unique_ptr<IPrintProgress> MakeProgressDialog(QWidget* parent, const QString& title);

} // namespace gd
