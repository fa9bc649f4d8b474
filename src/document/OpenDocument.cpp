#include "document/OpenDocument.h"

#include "common/DocNames.h"
#include "common/Exception.h"
#include "document/Loading.h"

#include <QFile>
#include <QFileInfo>

namespace gd {

TOpenDocument::TOpenDocument(std::function<QString()> defaultExt)
    : FDefaultExt(std::move(defaultExt)) {}

QString TOpenDocument::FileName() const {
    if (FName.isEmpty())
        return QString();
    return DocFileName(FFolder, FName, FDefaultExt ? FDefaultExt() : QStringLiteral("tif"));
}

void TOpenDocument::Notify() {
    if (Changed)
        Changed();
}

bool TOpenDocument::Open(const QString& name) {
    FName = name;
    FPages.LoadSource(nullptr); // the previous source (and its file) first
    const QString path = FileName();
    // A link changed meanwhile to lead out of the folder is not followed.
    if (!path.isEmpty() && QFileInfo(path).isFile() && DocFileInFolder(FFolder, path)) {
        OpenDocument(FPages, path);
        SetCurrentPage(0);
    } else {
        SetCurrentPage(-1);
    }
    return HasSource();
}

void TOpenDocument::SetName(const QString& name) {
    FName = name;
    Notify();
}

void TOpenDocument::SetCurrentPage(int index) {
    FPages.SetPageIndex(index);
    const int current = FPages.GetPageIndex();
    QImage picture;
    QString failure;
    if (current >= 0) {
        TGPBitmap* bitmap = nullptr;
        try {
            bitmap = FPages.Get(current)->GetBitmap();
        } catch (...) {
            Notify();
            throw;
        }
        if (bitmap) {
            picture = bitmap->ToQImage();
            // A page whose image does not decode says why in its place.
            if (picture.isNull())
                failure = FrameFailureText(*bitmap);
        }
    }
    FPicture = picture;
    FFailure = failure;
    FPictureChanged = false;
    Notify();
}

void TOpenDocument::SetPicture(const QImage& picture) {
    FPicture = picture;
    FFailure.clear();
    FPictureChanged = true;
    Notify();
}

void TOpenDocument::DeleteCurrentPage() {
    SetPicture(QImage());
}

int TOpenDocument::InsertFramesFrom(const QString& path) {
    const int current = FPages.GetPageIndex();
    const int n = CopyFramesIn(FPages, path);
    if (n > 0)
        SetCurrentPage(current + 1);
    return n;
}

void TOpenDocument::Import(const QString& path) {
    FPages.LoadSource(nullptr);
    FPages.LoadSource(OpenBitmap(path));
    FPages.SetModified(true);
    FPages.FSourceFileName = QFileInfo(path).absoluteFilePath();
    SetCurrentPage(0);
}

void TOpenDocument::AddScannedPage(const QString& file, bool replaceCurrent) {
    std::unique_ptr<TImagePage> page = TImagePage::CreateFromFile(file);
    // A scan that cannot be read makes a blank page that does not own the
    // file: it would be left behind.
    if (page->FFileName.isEmpty())
        QFile::remove(file);
    if (replaceCurrent && FPages.Count() > 0) {
        FPages.Put(FPages.GetPageIndex(), std::move(page));
    } else {
        const int index = FPages.Add(std::move(page));
        if (replaceCurrent)
            FPages.SetPageIndex(index);
    }
    FPages.SetModified(true);
    SetCurrentPage(replaceCurrent ? FPages.GetPageIndex() : FPages.Count() - 1);
}

void TOpenDocument::PutPictureBack() {
    if (!FPictureChanged)
        return;
    const int current = FPages.GetPageIndex();
    if (!FPicture.isNull()) {
        std::unique_ptr<TImagePage> page = PageFromImage(FPicture);
        if (current < 0)
            FPages.Add(std::move(page)); // an empty list (or no current page)
        else
            FPages.Put(current, std::move(page));
        FPages.SetModified(true);
    } else if (current >= 0) {
        FPages.Delete(current);
        FPages.SetModified(true);
    }
    FPictureChanged = false;
}

void TOpenDocument::SettleEdit(std::vector<int>& indexes, int* position) {
    for (int i : indexes)
        FPages.Get(i); // the list's own index error
    if (position && (*position < 0 || *position > FPages.Count()))
        throw Exception(QString::asprintf("List index out of bounds (%d)", *position));
    const int current = FPages.GetPageIndex();
    if (!FPictureChanged || !FPicture.isNull() || current < 0) {
        PutPictureBack();
        return;
    }
    FPages.Delete(current);
    FPages.SetModified(true);
    FPictureChanged = false;
    std::vector<int> kept;
    for (int i : indexes)
        if (i != current)
            kept.push_back(i > current ? i - 1 : i);
    indexes = std::move(kept);
    if (position && *position > current)
        --*position;
}

void TOpenDocument::RotatePages(std::vector<int> indexes, TRotation turn) {
    SettleEdit(indexes, nullptr);
    gd::RotatePages(FPages, indexes, turn);
    SetCurrentPage(FPages.GetPageIndex());
}

int TOpenDocument::MovePages(std::vector<int> indexes, int position) {
    SettleEdit(indexes, &position);
    const int first = FPages.MovePages(indexes, position);
    SetCurrentPage(FPages.GetPageIndex());
    return first;
}

int TOpenDocument::DeletePages(std::vector<int> indexes) {
    const int before = FPages.Count();
    SettleEdit(indexes, nullptr);
    FPages.DeletePages(indexes);
    SetCurrentPage(FPages.GetPageIndex());
    return before - FPages.Count();
}

int TOpenDocument::InsertFiles(int position, const QStringList& paths) {
    std::vector<int> none;
    SettleEdit(none, &position);
    int n = 0;
    try {
        for (const QString& path : paths)
            n += CopyFramesIn(FPages, path, position + n);
    } catch (...) {
        SetCurrentPage(FPages.GetPageIndex()); // the files before stay in
        throw;
    }
    SetCurrentPage(FPages.GetPageIndex());
    return n;
}

TSaveOutcome TOpenDocument::Save(const TSaveOptions& options) {
    if (FName.isEmpty())
        return TSaveOutcome::Nothing;
    PutPictureBack();
    const TSaveOutcome outcome =
        SaveDocument(FPages, DocFileName(FFolder, FName, options.defaultExt), options);
    // The page list is new (or, with the file deleted, empty): show it again.
    if (outcome == TSaveOutcome::Encoded || outcome == TSaveOutcome::Deleted)
        SetCurrentPage(FPages.GetPageIndex());
    else
        Notify(); // the name's file may have another extension now
    return outcome;
}

} // namespace gd
