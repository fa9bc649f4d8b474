#include "PageView.h"

#include "document/GdipExt.h"
#include "document/Loading.h"
#include "ui/ImageBox.h"

#include <QComboBox>
#include <QFileInfo>
#include <QSignalBlocker>

namespace gd {

TPageView::TPageView(TImagePages& pages, TImageBox& box, QComboBox& pageList)
    : FPages(pages), FBox(box), FPageList(pageList) {}

void TPageView::ShowPage(int index) {
    FPages.SetPageIndex(index);
    const int current = FPages.GetPageIndex();
    {
        const QSignalBlocker quiet(&FPageList);
        FPageList.clear();
        QStringList numbers;
        numbers.reserve(FPages.Count());
        for (int i = 1; i <= FPages.Count(); ++i)
            numbers << QString::number(i);
        FPageList.addItems(numbers);
        FPageList.setCurrentIndex(current);
    }
    if (current < 0) {
        FBox.ClearPicture();
    } else {
        TGPBitmap* bitmap = FPages.Get(current)->GetBitmap();
        const QImage picture = bitmap ? bitmap->ToQImage() : QImage();
        // A page whose image does not decode says why in place of the picture.
        if (picture.isNull() && bitmap)
            FBox.SetMessage(FrameFailureText(*bitmap));
        else
            FBox.SetPicture(picture);
    }
    ImageChanged = false;
}

void TPageView::ReloadDocument(const QString& path) {
    FPages.LoadSource(nullptr);
    if (!path.isEmpty() && QFileInfo(path).isFile()) {
        OpenDocument(FPages, path);
        ShowPage(0);
    } else {
        ShowPage(-1);
    }
}

} // namespace gd
