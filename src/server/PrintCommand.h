#pragma once

#include <QString>

namespace gd {

// What the PRINT command needs of printing. The printing library implements
// it, so the server prints without linking printing, documents or widgets.
class IDocPrinter {
public:
    virtual ~IDocPrinter() = default;
    // True while a printer was installed at start-up ("Выбрать принтер..."
    // enabled).
    virtual bool PrinterAvailable() const = 0;
    // Opens the file as a picture of its own, prints it on the current
    // printer and releases it, in every case. Throws on any failure.
    virtual void PrintFile(const QString& path, const QString& title, int copies) = 0;
};

// The PRINT command: docName as the request gives it, path the file it
// resolves to, copiesText the value of "COPIES" (empty when absent). Returns
// the request's mark: kMarkDone printed, kMarkFailed refused or failed
// (never a message).
char ExecutePrintCommand(IDocPrinter& printer, const QString& docName, const QString& path,
                         const QString& copiesText);

} // namespace gd
