#pragma once

// The page organiser's panel: a column of page thumbnails beside the page.
// It shows, selects and proposes; it never changes the document. The window
// carries out what it asks (MoveRequested, FilesDropped) and then tells it
// what changed (PagesChanged, PageChanged, Reset).

#include "document/Thumbnails.h"

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

class QListView;

namespace gd {

class TThumbnailPanel : public QWidget {
    Q_OBJECT
public:
    // Where page `page`'s pixels are (ThumbSourceOf over the open document).
    // Called on the GUI thread, only for pages shown.
    using TSourceFn = std::function<TThumbSource(int page)>;

    explicit TThumbnailPanel(QWidget* parent = nullptr, const TThumbnailOptions& options = {});
    ~TThumbnailPanel() override;

    // Another document (count 0 and no function: none). Forgets every
    // thumbnail and the selection.
    void SetDocument(int pageCount, TSourceFn source);
    // Pages from `first` on were inserted, moved or deleted; the document
    // has `pageCount` pages now. Thumbnails before `first` stay.
    void PagesChanged(int first, int pageCount);
    // One page's content changed (turned, edited).
    void PageChanged(int page);
    // The same document read again (undo): every thumbnail is made again.
    void Reset(int pageCount);
    int PageCount() const { return FCount; }

    // The page shown: highlighted and scrolled into view. A page outside the
    // selection becomes the selection; -1 for none. Emits nothing.
    void SetCurrentPage(int page);
    int CurrentPage() const { return FCurrent; }
    // The pages the organiser's actions act on, ascending: the selected
    // pages, or the current page alone when none is selected.
    std::vector<int> SelectedPages() const;
    // Selects these pages (e.g. the moved pages after a move); emits nothing.
    void SelectPages(const std::vector<int>& pages);

    // Edit mode: thumbnails may be dragged to another place and files
    // dropped in. Off, the panel only shows and selects.
    void SetReorderEnabled(bool enabled);
    bool ReorderEnabled() const { return FReorder; }

    TThumbnailLoader& Loader() { return *FLoader; }
    // One thumbnail box and the scroll bar: narrower, a landscape page's
    // thumbnail would be cut.
    QSize minimumSizeHint() const override;

    // The list the thumbnails are drawn in (focus, tests).
    QListView* View() const;
    // Where page `page`'s thumbnail (or its placeholder) is drawn, in the
    // view's viewport; empty when the page is not laid out.
    QRect ThumbnailRect(int page) const;

signals:
    // The user made `page` current (click, or keys in the panel).
    void PageClicked(int page);
    void SelectionChanged();
    // Dragged thumbnails dropped at `position`, a gap of the list (0 before
    // the first page, PageCount() after the last). Only when it changes the
    // order.
    void MoveRequested(std::vector<int> pages, int position);
    // Local files dropped from a file manager at gap `position`.
    void FilesDropped(QStringList paths, int position);

private:
    class TModel;
    class TView;
    class TDelegate;
    friend class TView;
    friend class TDelegate;

    void SetCount(int pageCount);
    void RequestVisible();
    void OnThumbnail(int page, const QImage& thumbnail);
    QSize BoxSize() const; // the thumbnail box in logical pixels
    QImage Thumbnail(int page) const;
    bool Failed(int page) const { return FFailed.count(page) != 0; }
    QRect PictureRect(const QRect& item, int page) const;

    std::unique_ptr<TThumbnailLoader> FLoader;
    TModel* FModel = nullptr;
    TView* FView = nullptr;
    TSourceFn FSource;
    int FCount = 0;
    int FCurrent = -1;
    int FAnchor = -1; // where a Shift-click's range starts
    bool FReorder = false;
    bool FQuiet = false; // the panel itself changes the current page
    int FFirstShown = -1, FLastShown = -1;
    std::unordered_set<int> FFailed; // pages whose thumbnail cannot be made
};

} // namespace gd
