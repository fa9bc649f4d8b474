#include "document/GdipExt.h"

#include "common/Exception.h"

#include <QFile>

namespace gd {

std::unique_ptr<TGPBitmapExt> TGPBitmapExt::FromFile(const QString& path) {
    std::unique_ptr<TGPBitmapExt> b(new TGPBitmapExt());
    b->OpenFile(path);
    return b;
}

QUuid GetFrameDimension(TGPImage& image) {
    if (image.GetFrameDimensionsCount() == 0)
        throw SilentAbort();
    return image.GetFrameDimension();
}

int GetFrameCount(TGPImage& image) {
    try {
        GetFrameDimension(image);
        return image.GetFrameCount();
    } catch (const Exception&) {
        return 0;
    }
}

void SelectFrame(TGPBitmapExt& bitmap, int index) {
    if (index == bitmap.FActiveFrame)
        return;
    if (index < 0 || index >= GetFrameCount(bitmap))
        throw Exception(QString::asprintf("Страница %d рисунка не существует", index));
    bitmap.SelectActiveFrame(index);
    bitmap.FActiveFrame = index;
}

// ---- TImagePage -----------------------------------------------------------------

std::unique_ptr<TImagePage> TImagePage::CreateFromFrame(int frameIndex) {
    std::unique_ptr<TImagePage> p(new TImagePage());
    p->FFrameIndex = frameIndex;
    return p;
}

std::unique_ptr<TImagePage> TImagePage::CreateFromBitmap(std::unique_ptr<TGPBitmap> bitmap) {
    std::unique_ptr<TImagePage> p(new TImagePage());
    p->FBitmap = std::move(bitmap);
    p->FOwnImage = true;
    return p;
}

std::unique_ptr<TImagePage> TImagePage::CreateFromFile(const QString& fileName) {
    std::unique_ptr<TImagePage> p(new TImagePage());
    p->FOwnImage = true;
    try {
        p->FBitmap = TGPBitmap::FromFile(fileName);
        p->FFileName = fileName;
    } catch (...) {
        p->FBitmap = TGPBitmap::CreateBlank();
        p->FFileName.clear();
    }
    return p;
}

TImagePage::~TImagePage() {
    // The bitmap may hold the file open: release it first.
    FBitmap.reset();
    if (!FFileName.isEmpty())
        QFile::remove(FFileName);
}

TGPBitmap* TImagePage::GetBitmap() {
    if (FBitmap || FOwnImage)
        return FBitmap.get();
    if (!FOwner || !FOwner->FSource)
        return nullptr;
    SelectFrame(*FOwner->FSource, FFrameIndex);
    return FOwner->FSource.get();
}

// ---- TImagePages ----------------------------------------------------------------

TImagePages::~TImagePages() {
    Clear();
}

void TImagePages::IndexError(int index) {
    throw Exception(QString::asprintf("List index out of bounds (%d)", index));
}

TImagePage* TImagePages::Get(int index) const {
    if (index < 0 || index >= Count())
        IndexError(index);
    return FItems[size_t(index)].get();
}

void TImagePages::Put(int index, std::unique_ptr<TImagePage> page) {
    if (index < 0 || index >= Count())
        IndexError(index);
    if (!page || page.get() == FItems[size_t(index)].get()) {
        // Storing the page that is already there does nothing.
        (void)page.release();
        return;
    }
    page->FOwner = this;
    std::unique_ptr<TImagePage> old = std::move(FItems[size_t(index)]);
    FItems[size_t(index)] = std::move(page);
    old.reset();
}

int TImagePages::Add(std::unique_ptr<TImagePage> page) {
    page->FOwner = this;
    FItems.push_back(std::move(page));
    return Count() - 1;
}

void TImagePages::Insert(int index, std::unique_ptr<TImagePage> page) {
    if (index < 0 || index > Count())
        IndexError(index);
    page->FOwner = this;
    FItems.insert(FItems.begin() + index, std::move(page));
}

void TImagePages::Delete(int index) {
    if (index < 0 || index >= Count())
        IndexError(index);
    std::unique_ptr<TImagePage> old = std::move(FItems[size_t(index)]);
    FItems.erase(FItems.begin() + index);
    old.reset();
}

void TImagePages::Clear() {
    while (!FItems.empty()) {
        std::unique_ptr<TImagePage> last = std::move(FItems.back());
        FItems.pop_back();
        last.reset();
    }
}

void TImagePages::LoadSource(std::unique_ptr<TGPBitmapExt> source) {
    Clear();
    FSource.reset();
    FModified = false;
    FSourceFileName.clear();
    if (!source)
        return;
    FSource = std::move(source);
    const int n = GetFrameCount(*FSource);
    FItems.reserve(size_t(n));
    for (int i = 0; i < n; ++i)
        Add(TImagePage::CreateFromFrame(i));
}

void TImagePages::SetModified(bool value) {
    FModified = value;
    FSourceFileName.clear();
}

int TImagePages::GetPageIndex() {
    if (FPageIndex >= Count())
        FPageIndex = Count() - 1;
    return FPageIndex;
}

void TImagePages::SetPageIndex(int index) {
    if (index < 0)
        FPageIndex = -1;
    else if (index >= Count())
        FPageIndex = Count() - 1;
    else
        FPageIndex = index;
}

} // namespace gd
