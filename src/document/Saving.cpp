#include "document/Saving.h"

#include "common/Exception.h"
#include "common/Ticks.h"
#include "document/Loading.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace gd {
namespace {

const char* const kVariants[] = {".tif", ".bmp", ".jpg"};

QString SaveFailed(const QString& path) {
    return QStringLiteral("Не удалось сохранить документ \"%1\"")
        .arg(QDir::toNativeSeparators(path));
}

// The path with its extension (if any) replaced by ext.
QString WithExtension(const QString& path, const QString& ext) {
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype dot = path.lastIndexOf(u'.');
    return (dot > slash ? path.left(dot) : path) + ext;
}

// Pushes the file's data (or a folder's entries) to the disk.
bool SyncPath(const QString& path, bool folder) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), folder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Moves the completely written file `temp` over `target`. The rename is
// atomic: readers see the old file or the new one.
bool ReplaceFile(const QString& temp, const QString& target) {
    if (!SyncPath(temp, false))
        return false;
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) !=
        0)
        return false;
    SyncPath(QFileInfo(target).absolutePath(), true);
    return true;
}

void DeleteOtherVariants(const QString& path, const QString& keptExt) {
    for (const char* ext : kVariants)
        if (keptExt != QLatin1String(ext))
            QFile::remove(WithExtension(path, QLatin1String(ext)));
}

bool WriteWholeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool ok = f.write(data) == data.size() && f.flush();
    f.close();
    if (!ok || f.error() != QFileDevice::NoError) {
        QFile::remove(path);
        return false;
    }
    return true;
}

// The first page, the one a single-image format keeps, as a picture of its
// own; throws when it has no image or it does not decode.
QImage FirstPicture(TImagePages& pages) {
    TGPBitmap* b = pages.Get(0)->GetBitmap();
    QImage img = b ? b->ToQImage() : QImage();
    if (img.isNull() || b->FrameStatus() != GpStatus::Ok) {
        const QString why = b ? FrameFailureText(*b) : QString();
        throw Exception(
            PageNotSaved(0, why.isEmpty() ? QStringLiteral("у неё нет изображения") : why));
    }
    // Keep the page's resolution in the written file.
    img.setDotsPerMeterX(qRound(b->GetHorizontalResolution() / 0.0254));
    img.setDotsPerMeterY(qRound(b->GetVerticalResolution() / 0.0254));
    return img;
}

bool WriteSingleImage(const QImage& picture, const QString& path, const char* format,
                      std::optional<int> quality) {
    if (picture.isNull())
        return false;
    QImage img = picture;
    if (qstrcmp(format, "jpeg") == 0 &&
        (img.format() == QImage::Format_Mono || img.format() == QImage::Format_MonoLSB))
        img = img.convertToFormat(QImage::Format_Grayscale8);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter w(&buffer, format);
    if (quality)
        w.setQuality(std::clamp(*quality, 0, 100));
    if (!w.write(img))
        return false;
    return WriteWholeFile(path, data);
}

} // namespace

QString TempFileBeside(const QString& folder) {
    QString base = folder;
    if (!base.endsWith(u'/'))
        base += u'/';
    quint64 tick = MonotonicTicks();
    for (;;) {
        const QString name =
            base +
            QStringLiteral("~%1.tmp").arg(tick & 0xFFFFFFFFu, 8, 16, QLatin1Char('0')).toUpper();
        if (!QFileInfo::exists(name))
            return name;
        ++tick;
    }
}

QString DocumentExtension(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == u"tif" || suffix == u"tiff")
        return QStringLiteral(".tif");
    if (suffix == u"bmp" || suffix == u"dib")
        return QStringLiteral(".bmp");
    if (suffix == u"jpg" || suffix == u"jpeg" || suffix == u"jpe" || suffix == u"jfif")
        return QStringLiteral(".jpg");
    return QString();
}

TSaveOutcome SaveDocument(TImagePages& pages, const QString& docPath, const TSaveOptions& options) {
    if (docPath.isEmpty() || !pages.FModified)
        return TSaveOutcome::Nothing;

    QString path = docPath;
    const QString folder = QFileInfo(path).absolutePath();
    auto makeTemp = [&] {
        return options.makeTempFileName ? options.makeTempFileName(folder) : TempFileBeside(folder);
    };

    if (pages.Count() == 0) {
        pages.LoadSource(nullptr);
        QFile::remove(path);
        return TSaveOutcome::Deleted;
    }

    // Keep an imported file as it is, under the document's name. Only the
    // document formats can be kept: under any other extension the server
    // would never find the document again.
    const QString source = pages.FSourceFileName;
    const QString keptExt = DocumentExtension(source);
    if (options.keepOriginal && !source.isEmpty() && QFileInfo(source).isFile() &&
        !keptExt.isEmpty()) {
        path = WithExtension(path, keptExt);
        const bool same = QFileInfo::exists(path) && QFileInfo(path).canonicalFilePath() ==
                                                         QFileInfo(source).canonicalFilePath();
        if (!same) {
            const QString temp = makeTemp();
            if (!QFile::copy(source, temp) || !ReplaceFile(temp, path)) {
                QFile::remove(temp);
                throw Exception(SaveFailed(path));
            }
            DeleteOtherVariants(path, keptExt);
        }
        pages.SetModified(false);
        return TSaveOutcome::Copied;
    }

    const QString ext = u'.' + options.defaultExt.toLower();
    path = WithExtension(path, ext);
    const QString temp = makeTemp();
    bool written = false;
    try {
        if (ext == u".bmp") {
            written = WriteSingleImage(FirstPicture(pages), temp, "bmp", std::nullopt);
        } else if (ext == u".jpg") {
            written = WriteSingleImage(FirstPicture(pages), temp, "jpeg", options.jpegQuality);
        } else if (ext == u".tif") {
            written = WriteTiffPages(pages, temp, options.threads, options.progress,
                                     options.copyCompressed) > 0;
        }
    } catch (const Exception&) {
        QFile::remove(temp); // a page that cannot be written: nothing changes
        throw;
    }
    if (!written || !ReplaceFile(temp, path)) {
        QFile::remove(temp);
        throw Exception(SaveFailed(path));
    }
    const int index = pages.GetPageIndex();
    pages.LoadSource(nullptr); // scanned pages' files go with their pages
    DeleteOtherVariants(path, ext);
    OpenDocument(pages, path);
    pages.SetPageIndex(index);
    return TSaveOutcome::Encoded;
}

} // namespace gd
