#pragma once

#include "document/PageRotate.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <vector>

namespace gd {

class TImagePage;
class TOpenDocument;
class TPageArea;
class TThumbnailPanel;

// The page organiser's glue: keeps the thumbnail panel in step with the open
// document and carries out on the document what the panel, the page area's
// page keys and the organiser's commands ask. Failures go through `guarded`
// (the window's error box).
class TOrganiser : public QObject {
public:
    using TGuard = std::function<bool(const std::function<void()>&)>;
    TOrganiser(TOpenDocument& doc, TThumbnailPanel& panel, TPageArea& area, TGuard guarded);

    // After every change of the document: the panel learns which pages
    // changed and which one is shown.
    void DocumentChanged();
    // Edit mode: thumbnails may be dragged and files dropped in.
    void SetEditMode(bool on);
    // The pages the commands act on: the panel's selection while the panel
    // is shown (the current page alone when no other is selected), else the
    // current page.
    std::vector<int> Selection() const;

    // Shows the page when there is one of that index.
    void ShowPage(int page);
    void Rotate(TRotation turn);
    // One place up or down; a scattered selection gathers at its first page
    // (or its last) first.
    void MoveUp();
    void MoveDown();
    void Move(std::vector<int> pages, int position);
    // Files dropped on the panel, inserted at the gap in their order; a file
    // that gives no page (a drop may carry anything) is named in the error.
    void InsertDropped(const QStringList& paths, int position);
    // Deletes the selection when it is more than one page; false (nothing
    // done) otherwise.
    bool DeleteSelection();

private:
    TOpenDocument& FDoc;
    TThumbnailPanel& FPanel;
    TGuard FGuarded;
    // The pages as the panel last saw them, by identity, and the list's
    // load count then.
    std::vector<const TImagePage*> FSeen;
    unsigned FLoads = 0;
    bool FHasDocument = false;
};

} // namespace gd
