#include "PageView.h"

#include "document/OpenDocument.h"
#include "ui/ImageBox.h"

#include <QComboBox>
#include <QSignalBlocker>

namespace gd {

TPageView::TPageView(const TOpenDocument& doc, TImageBox& box, QComboBox& pageList)
    : FDoc(doc), FBox(box), FPageList(pageList) {}

void TPageView::Show() {
    {
        const QSignalBlocker quiet(&FPageList);
        if (FPageList.count() != FDoc.PageCount()) {
            FPageList.clear();
            QStringList numbers;
            numbers.reserve(FDoc.PageCount());
            for (int i = 1; i <= FDoc.PageCount(); ++i)
                numbers << QString::number(i);
            FPageList.addItems(numbers);
        }
        FPageList.setCurrentIndex(FDoc.PageIndex());
    }
    const QImage& picture = FDoc.Picture();
    if (!picture.isNull()) {
        // The same picture again (a change of the name only) is not scaled again.
        if (picture.cacheKey() != FBox.Picture().cacheKey() || !FBox.Message().isEmpty())
            FBox.SetPicture(picture);
    } else if (!FDoc.PictureFailure().isEmpty()) {
        if (FBox.Message() != FDoc.PictureFailure())
            FBox.SetMessage(FDoc.PictureFailure());
    } else if (FBox.HasPicture() || !FBox.Message().isEmpty()) {
        FBox.ClearPicture();
    }
}

} // namespace gd
