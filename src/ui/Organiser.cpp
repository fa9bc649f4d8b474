#include "Organiser.h"

#include "common/Exception.h"
#include "document/OpenDocument.h"
#include "document/Thumbnails.h"
#include "ui/PageArea.h"
#include "ui/ThumbnailPanel.h"

#include <QDir>
#include <algorithm>
#include <numeric>
#include <unordered_set>

namespace gd {

TOrganiser::TOrganiser(TOpenDocument& doc, TThumbnailPanel& panel, TPageArea& area, TGuard guarded)
    : FDoc(doc), FPanel(panel), FGuarded(std::move(guarded)) {
    connect(&area, &TPageArea::PriorPage, this, [this] { ShowPage(FDoc.PageIndex() - 1); });
    connect(&area, &TPageArea::NextPage, this, [this] { ShowPage(FDoc.PageIndex() + 1); });
    connect(&area, &TPageArea::FirstPage, this, [this] { ShowPage(0); });
    connect(&area, &TPageArea::LastPage, this, [this] { ShowPage(FDoc.PageCount() - 1); });
    connect(&panel, &TThumbnailPanel::PageClicked, this, &TOrganiser::ShowPage);
    connect(&panel, &TThumbnailPanel::MoveRequested, this,
            [this](std::vector<int> pages, int position) { Move(std::move(pages), position); });
    connect(&panel, &TThumbnailPanel::FilesDropped, this,
            [this](const QStringList& paths, int position) {
                FGuarded([&] { InsertDropped(paths, position); });
            });
}

void TOrganiser::InsertDropped(const QStringList& paths, int position) {
    QStringList refused;
    for (const QString& path : paths) {
        const int n = FDoc.InsertFiles(position, {path});
        if (n == 0)
            refused << QDir::toNativeSeparators(path);
        position += n;
    }
    if (!refused.isEmpty())
        throw Exception(QStringLiteral("Нет изображений в файле \"%1\"").arg(refused.join(u", ")));
}

void TOrganiser::DocumentChanged() {
    const TImagePages& pages = FDoc.Pages();
    std::vector<const TImagePage*> now(size_t(pages.Count()));
    for (int i = 0; i < pages.Count(); ++i)
        now[size_t(i)] = pages.Get(i);
    if (!FHasDocument || pages.FLoads != FLoads) {
        // Read anew: no thumbnail made before can stand.
        FPanel.SetDocument(pages.Count(),
                           [&doc = FDoc](int page) { return ThumbSourceOf(doc.Pages(), page); });
        FHasDocument = true;
        FLoads = pages.FLoads;
    } else if (now != FSeen) {
        // A page not where it was is new there or moved. Pages only replaced
        // (turned, an edit put back) are made again one by one; once any page
        // moved, everything from the first change on.
        size_t first = 0;
        while (first < now.size() && first < FSeen.size() && now[first] == FSeen[first])
            ++first;
        std::vector<int> replaced;
        if (now.size() == FSeen.size()) {
            std::unordered_set<const TImagePage*> gone;
            for (size_t i = first; i < now.size(); ++i)
                if (now[i] != FSeen[i]) {
                    gone.insert(FSeen[i]);
                    replaced.push_back(int(i));
                }
            if (std::any_of(replaced.begin(), replaced.end(),
                            [&](int i) { return gone.count(now[size_t(i)]) != 0; }))
                replaced.clear(); // moved
        }
        if (!replaced.empty())
            for (int i : replaced)
                FPanel.PageChanged(i);
        else
            FPanel.PagesChanged(int(first), pages.Count());
    }
    FSeen = std::move(now);
    FPanel.SetCurrentPage(FDoc.PageIndex());
}

void TOrganiser::SetEditMode(bool on) {
    if (FPanel.ReorderEnabled() != on)
        FPanel.SetReorderEnabled(on);
}

std::vector<int> TOrganiser::Selection() const {
    // A selection the user cannot see does not count: with the panel hidden
    // the commands act on the page shown.
    if (FPanel.isHidden()) {
        if (FDoc.PageIndex() < 0)
            return {};
        return {FDoc.PageIndex()};
    }
    return FPanel.SelectedPages();
}

void TOrganiser::ShowPage(int page) {
    if (page >= 0 && page < FDoc.PageCount() && page != FDoc.PageIndex())
        FGuarded([&] { FDoc.SetCurrentPage(page); });
}

void TOrganiser::Rotate(TRotation turn) {
    const std::vector<int> pages = Selection();
    FDoc.RotatePages(pages, turn);
    FPanel.SelectPages(pages);
}

void TOrganiser::MoveUp() {
    const std::vector<int> pages = Selection();
    if (!pages.empty())
        Move(pages, std::max(0, pages.front() - 1));
}

void TOrganiser::MoveDown() {
    const std::vector<int> pages = Selection();
    if (!pages.empty())
        Move(pages, std::min(FDoc.PageCount(), pages.back() + 2));
}

void TOrganiser::Move(std::vector<int> pages, int position) {
    FGuarded([&] {
        const int n = int(pages.size());
        const int first = FDoc.MovePages(std::move(pages), position);
        std::vector<int> moved(size_t(std::max(0, n)));
        std::iota(moved.begin(), moved.end(), first);
        FPanel.SelectPages(moved);
    });
}

bool TOrganiser::DeleteSelection() {
    const std::vector<int> pages = Selection();
    if (pages.size() < 2)
        return false;
    FDoc.DeletePages(pages);
    return true;
}

} // namespace gd
