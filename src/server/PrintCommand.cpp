#include "PrintCommand.h"

#include "CtlFile.h"
#include "common/IntText.h"
#include "common/Messages.h"

#include <QFileInfo>

namespace gd {

char ExecutePrintCommand(IDocPrinter& printer, const QString& docName, const QString& path,
                         const QString& copiesText) {
    if (!printer.PrinterAvailable())
        return kMarkFailed;
    const int copies = ParseInt(copiesText).value_or(1);
    if (!QFileInfo(path).isFile())
        return kMarkFailed;
    try {
        printer.PrintFile(path, PrintJobTitle(docName), copies);
    } catch (...) {
        // Unattended: the client learns of the failure from the mark alone.
        return kMarkFailed;
    }
    return kMarkDone;
}

} // namespace gd
