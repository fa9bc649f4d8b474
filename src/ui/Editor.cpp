#include "ui/Editor.h"

#include "common/Exception.h"
#include "document/GdipExt.h"
#include "document/Loading.h"
#include "ui/ImageBox.h"
#include "ui/PageView.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QProgressDialog>
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

TEditor::TEditor(TImagePages& pages, TPageView& view, TImageBox& box)
    : FPages(pages), FView(view), FBox(box) {
    Clipboard = [] { return QGuiApplication::clipboard(); };
}

void TEditor::Clear() {
    if (!FBox.HasPicture())
        return;
    FillWhite(FBox.EditPicture());
    FBox.PictureEdited();
    FView.ImageChanged = true;
}

void TEditor::Copy() {
    QClipboard* clipboard = Clipboard ? Clipboard() : nullptr;
    if (!clipboard)
        throw Exception(QStringLiteral("Cannot open clipboard"));
    if (FBox.HasPicture())
        clipboard->setImage(FBox.Picture());
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
    if (FBox.HasPicture()) {
        QImage pasted = PasteInto(FBox.Picture(), clip);
        if (pasted.isNull())
            throw Exception(QStringLiteral("Unsupported clipboard format"));
        FBox.EditPicture() = pasted;
        FBox.PictureEdited();
    } else {
        // A plain bitmap has no transparency.
        FBox.SetPicture(
            clip.convertToFormat(clip.hasAlphaChannel() ? QImage::Format_RGB32 : clip.format()));
    }
    FView.ImageChanged = true;
}

void TEditor::PageDel() {
    FBox.ClearPicture();
    FView.ImageChanged = true;
}

void TEditor::PageAddFromFile() {
    const QString path = ChooseFile ? ChooseFile() : QString();
    if (path.isEmpty())
        return;
    const int current = FPages.GetPageIndex();
    // A file that gives no page leaves the document and the shown page alone.
    if (CopyFramesIn(FPages, path) > 0)
        FView.ShowPage(current + 1);
}

void TEditor::Import() {
    const QString path = ChooseFile ? ChooseFile() : QString();
    if (path.isEmpty())
        return;
    FPages.LoadSource(nullptr);
    FPages.LoadSource(OpenBitmap(path));
    FPages.SetModified(true);
    FPages.FSourceFileName = QFileInfo(path).absoluteFilePath();
    FView.ShowPage(0);
}

TSaveOutcome TEditor::Save(const QString& docName, TSaveSeams seams, QWidget* parent) {
    std::optional<QImage> picture;
    if (FBox.HasPicture())
        picture = FBox.Picture();
    std::unique_ptr<QProgressDialog> progress;
    seams.Progress = [&](int done, int total) {
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
    const TSaveOutcome outcome = SaveDocument(FPages, docName, FView.ImageChanged, picture, seams);
    progress.reset();
    // The page list is new (or, with the file deleted, empty): show it again.
    if (outcome == TSaveOutcome::Encoded || outcome == TSaveOutcome::Deleted)
        FView.ShowPage(FPages.GetPageIndex());
    return outcome;
}

} // namespace gd
