#pragma once

#include <QString>

class QComboBox;

namespace gd {

class TImagePages;
class TImageBox;

// The one way a page reaches the screen, and the reload of the open document
// (which is also the editor's undo). What the picture control shows is a
// copy of the page's image: edits of it set ImageChanged and reach the page
// list only when the document is saved.
class TPageView {
public:
    TPageView(TImagePages& pages, TImageBox& box, QComboBox& pageList);

    // Makes the page current (clamped) and shows it; drops an unsaved edit of
    // the shown picture. An error taking the page's image propagates after the
    // page list and the index were updated; the picture then stays as it was.
    void ShowPage(int index);
    // Drops every page and unsaved change and reads the file again; an empty
    // path or a missing file leaves the view empty.
    void ReloadDocument(const QString& path);

    bool ImageChanged = false;

private:
    TImagePages& FPages;
    TImageBox& FBox;
    QComboBox& FPageList;
};

} // namespace gd
