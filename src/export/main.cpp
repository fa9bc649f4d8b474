// gdexport: writes a document (TIFF, BMP, JPEG...) as a PDF file.
// Exit status: 0 written, nothing printed; 1 and one line on standard error
// otherwise.
#include "common/Exception.h"
#include "document/Loading.h"
#include "document/PdfExport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace {

int Fail(const QString& message) {
    std::fprintf(stderr, "gdexport: %s\n", message.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return Fail(QStringLiteral("usage: gdexport DOCUMENT-FILE OUTPUT.pdf"));
    const QString document = args[1];
    gd::TImagePages pages;
    if (QFileInfo(document).isFile())
        gd::OpenDocument(pages, document);
    if (pages.Count() == 0)
        return Fail(QStringLiteral("Не удалось открыть документ \"%1\"")
                        .arg(QDir::toNativeSeparators(document)));
    try {
        gd::ExportPdf(gd::PdfPagesOf(pages, false, std::nullopt), args[2]);
    } catch (const gd::Exception& e) {
        return Fail(e.message());
    }
    return 0;
}
