// Prints one document the way the PRINT command does and says what it saw:
// whether a printer is installed, and the request's mark.
#include "common/Exception.h"
#include "printing/Printing.h"
#include "server/PrintCommand.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const bool installed = gd::TCurrentPrinter::AnyInstalled();
    gd::TPrinting printing(installed);
    const char mark = gd::ExecutePrintCommand(printing, QStringLiteral("probe"),
                                              QString::fromLocal8Bit(argv[1]), QStringLiteral("1"));
    QString error;
    try {
        printing.Printer().Resolve();
    } catch (const gd::Exception& e) {
        error = e.message();
    }
    std::printf("installed=%d mark=%c error=%s\n", installed ? 1 : 0, mark,
                error.toUtf8().constData());
    return 0;
}
