#include "ui/Editor.h"

#include "common/Exception.h"
#include "document/OpenDocument.h"
#include "document/PdfExport.h"
#include "scanning/Scanners.h"
#include "server/Startup.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QProgressDialog>
#include <QStandardPaths>
#include <memory>

namespace gd {
namespace {

// "*.TIF" to "*.[Tt][Ii][Ff]": the platform's file names are case-sensitive.
QString AnyCase(const QString& pattern) {
    QString out;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper())
            out += u'[' + QString(c.toUpper()) + c.toLower() + u']';
        else
            out += c;
    }
    return out;
}

int NearestIndex(const QList<QRgb>& table, QRgb colour) {
    int best = 0, bestDistance = INT_MAX;
    for (int i = 0; i < table.size(); ++i) {
        const int dr = qRed(table[i]) - qRed(colour), dg = qGreen(table[i]) - qGreen(colour),
                  db = qBlue(table[i]) - qBlue(colour);
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    return best;
}

bool IsIndexed(QImage::Format f) {
    return f == QImage::Format_Mono || f == QImage::Format_MonoLSB || f == QImage::Format_Indexed8;
}

} // namespace

QString ChooseImageFile(QWidget* parent) {
    QFileDialog dlg(parent);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    // The widget dialog, whose patterns the filters are written for.
    dlg.setOptions(QFileDialog::HideNameFilterDetails | QFileDialog::DontUseNativeDialog);
    dlg.setNameFilters(OpenFileFilters());
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().constFirst();
}

QStringList OpenFileFilters() {
    const QString text = QStringLiteral(
        "Все файлы рисунков|*.TIF;*.BMP;*.JPG|Документы TIFF (*.tif)|*.TIF|Точечные рисунки "
        "(*.bmp)|*.BMP|Файлы JPEG (*.jpg)|*.JPG");
    const QStringList parts = text.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(u';'))
            patterns << AnyCase(p);
        // The dialog hides the pattern part, so the entry reads as the
        // description alone.
        filters << parts[i] + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    return filters;
}

void FillWhite(QImage& picture) {
    if (IsIndexed(picture.format()))
        picture.fill(uint(NearestIndex(picture.colorTable(), qRgb(255, 255, 255))));
    else
        picture.fill(QColor(Qt::white));
}

QImage PasteInto(const QImage& shown, const QImage& clip) {
    QImage out;
    if (IsIndexed(shown.format()) && !shown.colorTable().isEmpty())
        // Nearest colours of the picture's own palette, without dithering,
        // as a drawing onto a palette bitmap does.
        out = clip.convertToFormat(shown.format(), shown.colorTable(),
                                   Qt::ThresholdDither | Qt::AvoidDither);
    else
        out = clip.convertToFormat(shown.format(), Qt::ThresholdDither);
    if (out.isNull())
        return out;
    out.setDotsPerMeterX(shown.dotsPerMeterX());
    out.setDotsPerMeterY(shown.dotsPerMeterY());
    return out;
}

TEditor::TEditor(TOpenDocument& doc) : FDoc(doc) {
    Clipboard = [] { return QGuiApplication::clipboard(); };
}

void TEditor::Clear() {
    if (FDoc.Picture().isNull())
        return;
    QImage picture = FDoc.Picture();
    FillWhite(picture);
    FDoc.SetPicture(picture);
}

void TEditor::Copy() {
    QClipboard* clipboard = Clipboard ? Clipboard() : nullptr;
    if (!clipboard)
        throw Exception(QStringLiteral("Cannot open clipboard"));
    if (!FDoc.Picture().isNull())
        clipboard->setImage(FDoc.Picture());
}

void TEditor::Paste() {
    QClipboard* clipboard = Clipboard ? Clipboard() : nullptr;
    if (!clipboard)
        throw Exception(QStringLiteral("Cannot open clipboard"));
    const QMimeData* data = clipboard->mimeData();
    if (!data || !data->hasImage())
        return;
    const QImage clip = clipboard->image();
    if (clip.isNull())
        throw Exception(QStringLiteral("Unsupported clipboard format"));
    if (!FDoc.Picture().isNull()) {
        const QImage pasted = PasteInto(FDoc.Picture(), clip);
        if (pasted.isNull())
            throw Exception(QStringLiteral("Unsupported clipboard format"));
        FDoc.SetPicture(pasted);
    } else {
        // A plain bitmap has no transparency.
        FDoc.SetPicture(
            clip.convertToFormat(clip.hasAlphaChannel() ? QImage::Format_RGB32 : clip.format()));
    }
}

void TEditor::PageDel() {
    FDoc.DeleteCurrentPage();
}

void TEditor::PageAddFromFile() {
    const QString path = ChooseFile ? ChooseFile() : QString();
    if (!path.isEmpty())
        FDoc.InsertFramesFrom(path);
}

void TEditor::Import() {
    const QString path = ChooseFile ? ChooseFile() : QString();
    if (!path.isEmpty())
        FDoc.Import(path);
}

TSaveOutcome TEditor::Save(TSaveOptions options, QWidget* parent) {
    std::unique_ptr<QProgressDialog> progress;
    options.progress = [&](int done, int total) {
        if (!progress && total >= 10 && parent) {
            progress = std::make_unique<QProgressDialog>(QStringLiteral("Сохранение документа..."),
                                                         QString(), 0, total, parent);
            progress->setWindowModality(Qt::WindowModal);
            progress->setCancelButton(nullptr);
            progress->setMinimumDuration(500);
        }
        if (progress)
            progress->setValue(done);
    };
    return FDoc.Save(options);
}

void TEditor::ExportPdf(const std::function<QString(const QString&)>& choose, QWidget* parent) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString& name = FDoc.Name();
    QString path = choose(
        QDir(folder).filePath((name.isEmpty() ? QStringLiteral("document") : name) + ".pdf"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pdf");
    std::optional<QImage> picture;
    if (!FDoc.Picture().isNull())
        picture = FDoc.Picture();
    const std::vector<TPdfPage> pages = PdfPagesOf(FDoc.Pages(), FDoc.Change().picture, picture);
    std::unique_ptr<QProgressDialog> progress;
    TPdfExportOptions options;
    options.Progress = [&](int done, int total) {
        if (!progress && total >= 10 && parent) {
            progress = std::make_unique<QProgressDialog>(
                QStringLiteral("Экспорт в PDF..."), QStringLiteral("Отмена"), 0, total, parent);
            progress->setWindowModality(Qt::WindowModal);
            progress->setMinimumDuration(500);
        }
        if (!progress)
            return true;
        progress->setValue(done);
        return !progress->wasCanceled();
    };
    gd::ExportPdf(pages, path, options);
}

void TEditor::Scan(QWidget* parent, bool replaceCurrent) {
    const QString name = FreeNameInTempFolder(QStringLiteral("bmp"));
    if (TWAcquireToFile(parent, name))
        FDoc.AddScannedPage(name, replaceCurrent);
}

} // namespace gd
