#pragma once

// The page list of an open document, its pages, and the multi-frame bitmap
// that remembers its selected frame.

#include "document/ImageServices.h"

#include <QString>
#include <QUuid>
#include <memory>
#include <vector>

namespace gd {

// A multi-frame bitmap that remembers the frame last selected through
// SelectFrame, so that selecting it again costs nothing.
class TGPBitmapExt : public TGPBitmap {
public:
    static std::unique_ptr<TGPBitmapExt> FromFile(const QString& path);
    int FActiveFrame = 0; // frame 0 is selected when the bitmap is opened

private:
    TGPBitmapExt() = default;
};

// The first frame dimension of the image; throws gd::SilentAbort when the
// image has none.
QUuid GetFrameDimension(TGPImage& image);
// Frames along the first dimension; 0 on any failure.
int GetFrameCount(TGPImage& image);
// Selects frame `index`; nothing happens when it is already FActiveFrame.
// Outside the frames: gd::Exception "Страница %d рисунка не существует".
void SelectFrame(TGPBitmapExt& bitmap, int index);

class TImagePages;

// One page: a frame of the list's source bitmap, or a bitmap of its own
// (which may come from a file the page owns and deletes when destroyed).
class TImagePage {
public:
    static std::unique_ptr<TImagePage> CreateFromFrame(int frameIndex);
    static std::unique_ptr<TImagePage> CreateFromBitmap(std::unique_ptr<TGPBitmap> bitmap);
    // Opens the file as the page's own bitmap and takes ownership of the
    // file; when opening throws, the page gets a 1 by 1 blank bitmap and the
    // file is not owned.
    static std::unique_ptr<TImagePage> CreateFromFile(const QString& fileName);
    ~TImagePage(); // releases FBitmap, then deletes FFileName

    TImagePage(const TImagePage&) = delete;
    TImagePage& operator=(const TImagePage&) = delete;

    // The page's image: its own bitmap, or the owner's source switched to
    // FFrameIndex (SelectFrame, may throw); none without either. A page made
    // by CreateFromBitmap with no bitmap (a failed copy) shows nothing, never
    // a frame of the source. Use the result before asking another page of the
    // same list.
    TGPBitmap* GetBitmap();
    // Made from a bitmap of its own (or a file): never shows a source frame,
    // even when the bitmap is missing (a failed copy).
    bool HasOwnImage() const { return FOwnImage; }

    TImagePages* FOwner = nullptr; // set by the list
    std::unique_ptr<TGPBitmap> FBitmap;
    int FFrameIndex = 0;
    QString FFileName;

private:
    TImagePage() = default;
    bool FOwnImage = false; // made from a bitmap (or file), even a missing one

public:
};

class TImagePages {
public:
    TImagePages() = default;
    ~TImagePages(); // Clear
    TImagePages(const TImagePages&) = delete;
    TImagePages& operator=(const TImagePages&) = delete;

    int Count() const { return int(FItems.size()); }
    // Index errors throw gd::Exception "List index out of bounds (%d)" and
    // leave the list unchanged.
    TImagePage* Get(int index) const;
    void Put(int index, std::unique_ptr<TImagePage> page); // old page destroyed
    int Add(std::unique_ptr<TImagePage> page);
    void Insert(int index, std::unique_ptr<TImagePage> page); // 0 <= index <= Count
    void Delete(int index);
    void Clear(); // last page first

    // Replaces every page by one page per frame of `source` (or none), takes
    // ownership of it, clears FModified and FSourceFileName.
    void LoadSource(std::unique_ptr<TGPBitmapExt> source);
    void SetModified(bool value);
    int GetPageIndex();
    void SetPageIndex(int index);

    bool FModified = false;
    int FPageIndex = -1;
    // Grows at every LoadSource: the pages were read anew, and what was
    // derived from the old ones (thumbnails) is stale even where a new page
    // took an old one's address.
    unsigned FLoads = 0;
    std::unique_ptr<TGPBitmapExt> FSource;
    QString FSourceFileName;

private:
    [[noreturn]] static void IndexError(int index);
    std::vector<std::unique_ptr<TImagePage>> FItems;

public:
    // Operations on a set of pages (the organiser's selection). `indexes`
    // may come in any order and repeat; any index out of range throws the
    // index error before anything changes. Each marks the list modified when
    // it changes it, and keeps FPageIndex on the page it showed when that
    // page is still in the list.

    // Moves the pages to `position`, a gap of the list as it is now (0 is
    // before the first page, Count() after the last), keeping their order.
    // Returns the index of the first moved page afterwards. Only the pages
    // between the old places and the gap change place.
    int MovePages(const std::vector<int>& indexes, int position);
    // Destroys the pages in one pass; returns how many. When the page shown
    // goes, FPageIndex moves to the next page that stays (the last page when
    // none after it does).
    int DeletePages(const std::vector<int>& indexes);
    // Inserts the pages at `position` (0 <= position <= Count()), in order.
    void InsertPages(int position, std::vector<std::unique_ptr<TImagePage>> pages);
};

} // namespace gd
