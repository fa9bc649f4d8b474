#pragma once

class QComboBox;

namespace gd {

class TOpenDocument;
class TImageBox;

// Draws the open document: its current page's picture (as edited), or why
// the page cannot be shown, and the page list. It changes nothing.
class TPageView {
public:
    TPageView(const TOpenDocument& doc, TImageBox& box, QComboBox& pageList);

    // Shows the document as it is now.
    void Show();

private:
    const TOpenDocument& FDoc;
    TImageBox& FBox;
    QComboBox& FPageList;
};

} // namespace gd
