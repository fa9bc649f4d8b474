#include "ui/ThumbnailPanel.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QDataStream>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QListView>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace gd {

namespace {

const QString kPagesMime = QStringLiteral("application/x-gdserver-pages");
constexpr int kPad = 6; // around the thumbnail box and the number

// Whether moving `pages` (ascending) to gap `position` changes the order: not
// when they are one block and the gap is at its edge or inside it.
bool MoveChangesOrder(const std::vector<int>& pages, int position) {
    if (pages.empty())
        return false;
    const int first = pages.front(), last = pages.back();
    const bool block = last - first + 1 == int(pages.size());
    return !block || position < first || position > last + 1;
}

} // namespace

// ---- the model: one row per page, nothing else -----------------------------

class TThumbnailPanel::TModel : public QAbstractListModel {
public:
    explicit TModel(TThumbnailPanel* panel) : QAbstractListModel(panel), FPanel(panel) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : FCount;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DisplayRole && index.isValid())
            return QString::number(index.row() + 1);
        return {};
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (index.isValid() && FPanel->FReorder)
            f |= Qt::ItemIsDragEnabled;
        return f;
    }
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }
    QStringList mimeTypes() const override { return {kPagesMime}; }
    // The dragged pages, ascending, with the panel they come from: a drag from
    // another panel or process is no move within this document.
    QMimeData* mimeData(const QModelIndexList& indexes) const override {
        std::vector<int> rows;
        for (const QModelIndex& i : indexes)
            rows.push_back(i.row());
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << Token() << qint32(rows.size());
        for (int r : rows)
            out << qint32(r);
        auto* mime = new QMimeData();
        mime->setData(kPagesMime, bytes);
        return mime;
    }
    // The pages of a drag from this panel; none for any other.
    std::vector<int> PagesOf(const QMimeData* mime) const {
        if (!mime || !mime->hasFormat(kPagesMime))
            return {};
        QByteArray bytes = mime->data(kPagesMime);
        QDataStream in(&bytes, QIODevice::ReadOnly);
        QByteArray token;
        qint32 n = 0;
        in >> token >> n;
        if (token != Token() || n < 0 || n > FCount)
            return {};
        std::vector<int> pages;
        for (qint32 i = 0, r = 0; i < n && in.status() == QDataStream::Ok; ++i) {
            in >> r;
            if (r < 0 || r >= FCount)
                return {};
            pages.push_back(r);
        }
        return in.status() == QDataStream::Ok ? pages : std::vector<int>{};
    }
    void SetCount(int count) {
        beginResetModel();
        FCount = count;
        endResetModel();
    }
    // Rows added or taken at the end: the view keeps its place and the
    // selection of the rows that stay.
    void Resize(int count) {
        if (count > FCount) {
            beginInsertRows({}, FCount, count - 1);
            FCount = count;
            endInsertRows();
        } else if (count < FCount) {
            beginRemoveRows({}, count, FCount - 1);
            FCount = count;
            endRemoveRows();
        }
    }
    void Changed(int first, int last) {
        first = std::max(first, 0);
        last = std::min(last, FCount - 1);
        if (first <= last)
            emit dataChanged(index(first), index(last));
    }

private:
    QByteArray Token() const {
        return QByteArray::number(qint64(::getpid())) + ':' +
               QByteArray::number(quintptr(FPanel), 16);
    }
    TThumbnailPanel* FPanel;
    int FCount = 0;
};

// ---- the delegate: box, thumbnail or placeholder, number -------------------

class TThumbnailPanel::TDelegate : public QStyledItemDelegate {
public:
    explicit TDelegate(TThumbnailPanel* panel) : QStyledItemDelegate(panel), FPanel(panel) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        const QSize box = FPanel->BoxSize();
        return {box.width() + 2 * kPad, box.height() + 3 * kPad + option.fontMetrics.height()};
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const int page = index.row();
        const QPalette& pal = option.palette;
        p->save();
        if (option.state & QStyle::State_Selected)
            p->fillRect(option.rect, pal.color(QPalette::Highlight).lighter(160));
        const QRect picture = FPanel->PictureRect(option.rect, page);
        const QImage thumbnail = FPanel->Thumbnail(page);
        if (!thumbnail.isNull()) {
            p->setRenderHint(QPainter::SmoothPixmapTransform, false);
            p->drawImage(picture, thumbnail);
        } else {
            p->fillRect(picture, pal.color(QPalette::Midlight));
            if (FPanel->Failed(page)) { // cannot be shown: crossed out
                p->setPen(pal.color(QPalette::Mid));
                p->drawLine(picture.topLeft(), picture.bottomRight());
                p->drawLine(picture.topRight(), picture.bottomLeft());
            }
        }
        p->setPen(pal.color(QPalette::Dark));
        p->drawRect(picture.adjusted(-1, -1, 0, 0));
        if (page == FPanel->FCurrent) {
            p->setPen(QPen(pal.color(QPalette::Highlight), 3));
            p->drawRect(picture.adjusted(-3, -3, 2, 2));
        }
        const QRect number(option.rect.left(), picture.bottom() + kPad, option.rect.width(),
                           option.fontMetrics.height() + kPad);
        p->setPen(pal.color(QPalette::Text));
        p->drawText(number, Qt::AlignHCenter | Qt::AlignTop, QString::number(page + 1));
        p->restore();
    }

private:
    TThumbnailPanel* FPanel;
};

// ---- the view: visible range, Shift ranges, drag and drop ------------------

class TThumbnailPanel::TView : public QListView {
public:
    explicit TView(TThumbnailPanel* panel) : QListView(panel), FPanel(panel) {}

    using QListView::scheduleDelayedItemsLayout;

    // The gap a drop at `pos` (viewport) goes into: before the page under
    // it when in its upper half, after it otherwise; after the last below it.
    int GapAt(QPoint pos) const {
        const int count = FPanel->FCount;
        if (count == 0)
            return 0;
        const QRect firstRect = visualRect(model()->index(0, 0));
        const QModelIndex at = indexAt(QPoint(firstRect.center().x(), pos.y()));
        if (!at.isValid())
            return pos.y() < firstRect.top() ? 0 : count;
        return at.row() + (pos.y() >= visualRect(at).center().y() ? 1 : 0);
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        // What is about to be painted is what is visible: ask for it first.
        const qreal dpr = devicePixelRatioF();
        if (dpr != FDpr) { // another screen: the box keeps its device size
            FDpr = dpr;
            scheduleDelayedItemsLayout();
        }
        FPanel->RequestVisible();
        QListView::paintEvent(e);
        if (FDropGap >= 0) {
            QPainter p(viewport());
            p.setPen(QPen(palette().color(QPalette::Highlight), 3));
            const int y = GapY(FDropGap);
            p.drawLine(0, y, viewport()->width(), y);
        }
    }

    void mousePressEvent(QMouseEvent* e) override {
        const QModelIndex at = indexAt(e->position().toPoint());
        if (at.isValid() && e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier) &&
            FPanel->FAnchor >= 0 && FPanel->FAnchor < FPanel->FCount) {
            // From the page last clicked (or shown), whatever Qt last pressed.
            const int a = std::min(FPanel->FAnchor, at.row());
            const int b = std::max(FPanel->FAnchor, at.row());
            const auto how = (e->modifiers() & Qt::ControlModifier)
                                 ? QItemSelectionModel::Select
                                 : QItemSelectionModel::ClearAndSelect;
            selectionModel()->select(QItemSelection(model()->index(a, 0), model()->index(b, 0)),
                                     how);
            selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
            e->accept();
            return;
        }
        QListView::mousePressEvent(e);
        if (at.isValid() && e->button() == Qt::LeftButton)
            FPanel->FAnchor = at.row();
    }

    void dragEnterEvent(QDragEnterEvent* e) override {
        if (Accept(e))
            e->accept();
        else
            e->ignore();
    }
    void dragMoveEvent(QDragMoveEvent* e) override {
        QListView::dragMoveEvent(e); // scrolls near the edges
        if (!Accept(e)) {
            e->ignore();
            ShowGap(-1);
            return;
        }
        e->accept();
        ShowGap(GapAt(e->position().toPoint()));
    }
    void dragLeaveEvent(QDragLeaveEvent* e) override {
        QListView::dragLeaveEvent(e);
        ShowGap(-1);
    }
    void dropEvent(QDropEvent* e) override {
        ShowGap(-1);
        if (!Accept(e)) {
            e->ignore();
            return;
        }
        const int gap = GapAt(e->position().toPoint());
        e->accept();
        if (std::vector<int> pages = FPanel->FModel->PagesOf(e->mimeData()); !pages.empty()) {
            if (MoveChangesOrder(pages, gap))
                emit FPanel->MoveRequested(pages, gap);
        } else if (QStringList files = LocalFiles(e->mimeData()); !files.isEmpty()) {
            emit FPanel->FilesDropped(files, gap);
        }
    }

private:
    static QStringList LocalFiles(const QMimeData* mime) {
        QStringList files;
        if (mime && mime->hasUrls())
            for (const QUrl& url : mime->urls())
                if (url.isLocalFile())
                    files << url.toLocalFile();
        return files;
    }
    bool Accept(QDropEvent* e) {
        if (!FPanel->FReorder)
            return false;
        if (!FPanel->FModel->PagesOf(e->mimeData()).empty()) {
            e->setDropAction(Qt::MoveAction);
            return true;
        }
        if (!LocalFiles(e->mimeData()).isEmpty()) {
            e->setDropAction(Qt::CopyAction);
            return true;
        }
        return false;
    }
    int GapY(int gap) const {
        const int count = FPanel->FCount;
        if (count == 0)
            return 0;
        if (gap < count)
            return visualRect(model()->index(gap, 0)).top();
        return visualRect(model()->index(count - 1, 0)).bottom();
    }
    void ShowGap(int gap) {
        if (gap != FDropGap) {
            FDropGap = gap;
            viewport()->update();
        }
    }

    TThumbnailPanel* FPanel;
    int FDropGap = -1;
    qreal FDpr = 0;
};

// ---- the panel ---------------------------------------------------------------

TThumbnailPanel::TThumbnailPanel(QWidget* parent, const TThumbnailOptions& options)
    : QWidget(parent), FLoader(std::make_unique<TThumbnailLoader>(options)) {
    FModel = new TModel(this);
    FView = new TView(this);
    FView->setModel(FModel);
    FView->setItemDelegate(new TDelegate(this));
    FView->setViewMode(QListView::ListMode);
    FView->setFlow(QListView::TopToBottom);
    FView->setUniformItemSizes(true); // 10,000 pages lay out at once
    FView->setSpacing(0);             // every point of the column is some page
    FView->setResizeMode(QListView::Adjust);
    FView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FView->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    FView->setDragDropMode(QAbstractItemView::DragDrop);
    FView->setDefaultDropAction(Qt::MoveAction);
    FView->setDropIndicatorShown(false); // the gap line is drawn instead
    FView->setDragEnabled(false);
    FView->setAcceptDrops(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FView);
    setFocusProxy(FView);

    connect(FLoader.get(), &TThumbnailLoader::ThumbnailReady, this, &TThumbnailPanel::OnThumbnail);
    connect(FView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (FQuiet || !current.isValid())
                    return;
                const int old = FCurrent;
                FCurrent = current.row();
                FModel->Changed(old, old); // its highlight goes
                emit PageClicked(FCurrent);
            });
    connect(FView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!FQuiet)
            emit SelectionChanged();
    });
}

TThumbnailPanel::~TThumbnailPanel() = default;

QListView* TThumbnailPanel::View() const {
    return FView;
}

QSize TThumbnailPanel::minimumSizeHint() const {
    return {BoxSize().width() + 2 * kPad + FView->verticalScrollBar()->sizeHint().width() +
                2 * FView->frameWidth(),
            QWidget::minimumSizeHint().height()};
}

QSize TThumbnailPanel::BoxSize() const {
    // The box is measured in device pixels, so the thumbnail is drawn one
    // pixel per pixel on any screen.
    const QSize device = FLoader->Options().Box;
    const qreal dpr = FView ? FView->devicePixelRatioF() : devicePixelRatioF();
    return {int(std::ceil(device.width() / dpr)), int(std::ceil(device.height() / dpr))};
}

QImage TThumbnailPanel::Thumbnail(int page) const {
    return FLoader->Cached(page);
}

QRect TThumbnailPanel::PictureRect(const QRect& item, int page) const {
    const QSize box = BoxSize();
    const QRect boxRect(item.left() + (item.width() - box.width()) / 2, item.top() + kPad,
                        box.width(), box.height());
    QSizeF size;
    const qreal dpr = FView->devicePixelRatioF();
    if (const QImage t = FLoader->Cached(page); !t.isNull())
        size = QSizeF(t.size()) / dpr;
    else
        size = QSizeF(box.width() * 0.707, box.height()); // a portrait page until known
    const QSize s(std::max(1, int(std::lround(size.width()))),
                  std::max(1, int(std::lround(size.height()))));
    return QRect(boxRect.left() + (box.width() - s.width()) / 2,
                 boxRect.top() + (box.height() - s.height()) / 2, s.width(), s.height());
}

QRect TThumbnailPanel::ThumbnailRect(int page) const {
    if (page < 0 || page >= FCount)
        return {};
    const QRect item = FView->visualRect(FModel->index(page));
    return item.isEmpty() ? QRect() : PictureRect(item, page);
}

void TThumbnailPanel::RequestVisible() {
    if (FCount == 0 || !FSource)
        return;
    const QRect first = FView->visualRect(FModel->index(0));
    const int x = first.center().x();
    const QModelIndex top = FView->indexAt(QPoint(x, 0));
    const QModelIndex bottom = FView->indexAt(QPoint(x, FView->viewport()->height() - 1));
    const int a = top.isValid() ? top.row() : 0;
    const int b = bottom.isValid() ? bottom.row() : FCount - 1;
    if (a == FFirstShown && b == FLastShown)
        return;
    // Asked when the range changes, not at every paint: a thumbnail the
    // cache let go while shown comes back at the next scroll.
    FFirstShown = a;
    FLastShown = b;
    FLoader->Retain(a, b); // what scrolled away need not be decoded
    for (int page = a; page <= b; ++page)
        if (!Failed(page) && FLoader->Cached(page).isNull())
            FLoader->Request(page, FSource(page));
}

void TThumbnailPanel::OnThumbnail(int page, const QImage& thumbnail) {
    if (page >= FCount)
        return;
    if (thumbnail.isNull())
        FFailed.insert(page);
    FModel->Changed(page, page);
}

void TThumbnailPanel::SetCount(int pageCount) {
    FQuiet = true;
    FCount = std::max(0, pageCount);
    FModel->Resize(FCount);
    FQuiet = false;
    FFirstShown = FLastShown = -1;
    if (FCurrent >= FCount)
        FCurrent = FCount - 1;
    if (FAnchor >= FCount)
        FAnchor = -1;
}

void TThumbnailPanel::SetDocument(int pageCount, TSourceFn source) {
    FLoader->Reset();
    FFailed.clear();
    FSource = std::move(source);
    FCurrent = FAnchor = -1;
    FFirstShown = FLastShown = -1;
    FCount = FSource ? std::max(0, pageCount) : 0;
    FQuiet = true;
    FModel->SetCount(FCount);
    FQuiet = false;
    FView->scrollToTop();
}

void TThumbnailPanel::PagesChanged(int first, int pageCount) {
    FLoader->InvalidateFrom(std::max(0, first));
    std::erase_if(FFailed, [first](int page) { return page >= first; });
    if (pageCount != FCount)
        SetCount(pageCount);
    else
        FModel->Changed(std::max(0, first), FCount - 1);
    FFirstShown = FLastShown = -1;
    FView->viewport()->update();
}

void TThumbnailPanel::PageChanged(int page) {
    if (page < 0 || page >= FCount)
        return;
    FLoader->Invalidate(page);
    FFailed.erase(page);
    FFirstShown = FLastShown = -1; // asked again when painted
    FModel->Changed(page, page);
}

void TThumbnailPanel::Reset(int pageCount) {
    FLoader->Reset();
    FFailed.clear();
    SetCount(pageCount);
    FView->viewport()->update();
}

void TThumbnailPanel::SetCurrentPage(int page) {
    if (page < 0 || page >= FCount)
        page = -1;
    const int old = FCurrent;
    FCurrent = page;
    FQuiet = true;
    auto* selection = FView->selectionModel();
    if (page < 0) {
        selection->clear();
    } else {
        const QModelIndex index = FModel->index(page);
        // Showing a page of the selection keeps it (and where a Shift range
        // starts); any other page becomes the selection.
        const bool selected = selection->isSelected(index);
        selection->setCurrentIndex(index, selected ? QItemSelectionModel::NoUpdate
                                                   : QItemSelectionModel::ClearAndSelect);
        FView->scrollTo(index, QAbstractItemView::EnsureVisible);
        if (!selected)
            FAnchor = page;
    }
    FQuiet = false;
    FModel->Changed(old, old);
    if (page >= 0)
        FModel->Changed(page, page);
}

std::vector<int> TThumbnailPanel::SelectedPages() const {
    std::vector<int> pages;
    for (const QModelIndex& i : FView->selectionModel()->selectedIndexes())
        if (i.row() < FCount)
            pages.push_back(i.row());
    std::sort(pages.begin(), pages.end());
    if (pages.empty() && FCurrent >= 0)
        pages.push_back(FCurrent);
    return pages;
}

void TThumbnailPanel::SelectPages(const std::vector<int>& pages) {
    QItemSelection selection;
    for (int page : pages)
        if (page >= 0 && page < FCount)
            selection.select(FModel->index(page), FModel->index(page));
    FQuiet = true;
    FView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (FCurrent >= 0)
        FView->selectionModel()->setCurrentIndex(FModel->index(FCurrent),
                                                 QItemSelectionModel::NoUpdate);
    FQuiet = false;
}

void TThumbnailPanel::SetReorderEnabled(bool enabled) {
    FReorder = enabled;
    FView->setDragEnabled(enabled);
}

} // namespace gd
