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
    ++FLoads;
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

// ---- Operations on a set of pages --------------------------------------------------

#include <algorithm>

namespace gd {

namespace {

std::vector<int> SortedUnique(std::vector<int> indexes) {
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    return indexes;
}

} // namespace

int TImagePages::MovePages(const std::vector<int>& indexes, int position) {
    const std::vector<int> moved = SortedUnique(indexes);
    for (int i : moved)
        if (i < 0 || i >= Count())
            IndexError(i);
    if (position < 0 || position > Count())
        IndexError(position);
    if (moved.empty())
        return position;
    // Only [lo, hi) changes: the kept pages before the gap, the moved pages,
    // the kept pages after it.
    const int lo = std::min(moved.front(), position), hi = std::max(moved.back() + 1, position);
    const TImagePage* shown =
        FPageIndex >= 0 && FPageIndex < Count() ? FItems[size_t(FPageIndex)].get() : nullptr;
    std::vector<std::unique_ptr<TImagePage>> range;
    range.reserve(size_t(hi - lo));
    size_t m = size_t(std::lower_bound(moved.begin(), moved.end(), lo) - moved.begin());
    auto keep = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            if (m < moved.size() && moved[m] == i)
                ++m;
            else
                range.push_back(std::move(FItems[size_t(i)]));
        }
    };
    keep(lo, position);
    const int first = lo + int(range.size());
    for (int i : moved)
        range.push_back(std::move(FItems[size_t(i)]));
    m = size_t(std::lower_bound(moved.begin(), moved.end(), position) - moved.begin());
    keep(position, hi);
    for (int i = lo; i < hi; ++i) {
        FItems[size_t(i)] = std::move(range[size_t(i - lo)]);
        if (FItems[size_t(i)].get() == shown)
            FPageIndex = i;
    }
    if (first != moved.front() || int(moved.size()) != moved.back() - moved.front() + 1)
        SetModified(true);
    return first;
}

int TImagePages::DeletePages(const std::vector<int>& indexes) {
    const std::vector<int> gone = SortedUnique(indexes);
    for (int i : gone)
        if (i < 0 || i >= Count())
            IndexError(i);
    if (gone.empty())
        return 0;
    const int shownIndex = FPageIndex >= 0 && FPageIndex < Count() ? FPageIndex : -1;
    // Pages destroyed after the list is consistent again: a page's file is
    // deleted by its destructor, which must not see a half-moved list.
    std::vector<std::unique_ptr<TImagePage>> dropped;
    dropped.reserve(gone.size());
    size_t g = 0, out = size_t(gone.front());
    for (size_t i = size_t(gone.front()); i < FItems.size(); ++i) {
        if (g < gone.size() && size_t(gone[g]) == i) {
            dropped.push_back(std::move(FItems[i]));
            ++g;
        } else {
            FItems[out++] = std::move(FItems[i]);
        }
    }
    FItems.resize(out);
    if (shownIndex >= 0) {
        // Where the shown page is now, or the next page that stays when it went.
        const int before =
            int(std::lower_bound(gone.begin(), gone.end(), shownIndex) - gone.begin());
        FPageIndex = std::min(shownIndex - before, Count() - 1);
    }
    SetModified(true);
    dropped.clear();
    return int(gone.size());
}

void TImagePages::InsertPages(int position, std::vector<std::unique_ptr<TImagePage>> pages) {
    if (position < 0 || position > Count())
        IndexError(position);
    if (pages.empty())
        return;
    for (auto& p : pages)
        p->FOwner = this;
    if (FPageIndex >= position && FPageIndex < Count())
        FPageIndex += int(pages.size());
    FItems.insert(FItems.begin() + position, std::make_move_iterator(pages.begin()),
                  std::make_move_iterator(pages.end()));
    SetModified(true);
}

} // namespace gd
