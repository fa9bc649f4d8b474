#include "document/Loading.h"

namespace gd {

void OpenDocument(TImagePages& pages, const QString& path) {
    // Release the previous source (and its file) before opening.
    pages.LoadSource(nullptr);
    pages.LoadSource(TGPBitmapExt::FromFile(path));
}

std::unique_ptr<TGPBitmapExt> OpenBitmap(const QString& path) {
    return TGPBitmapExt::FromFile(path);
}

int CopyFramesIn(TImagePages& pages, const QString& path, int position) {
    std::unique_ptr<TGPBitmapExt> bitmap = OpenBitmap(path);
    const int n = GetFrameCount(*bitmap);
    std::vector<std::unique_ptr<TImagePage>> copies;
    copies.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        SelectFrame(*bitmap, i);
        // A copy fails on its own status only: an earlier failing call on
        // the bitmap (a damaged frame before) must not void later frames.
        const int w = bitmap->GetWidth(), h = bitmap->GetHeight();
        const quint32 format = bitmap->GetPixelFormat();
        copies.push_back(TImagePage::CreateFromBitmap(bitmap->CloneArea(0, 0, w, h, format)));
    }
    pages.InsertPages(position < 0 ? pages.GetPageIndex() + 1 : position, std::move(copies));
    return n;
}

std::unique_ptr<TImagePage> PageFromImage(const QImage& picture) {
    return TImagePage::CreateFromBitmap(TGPBitmap::FromQImage(picture));
}

TPageProperties GetPageProperties(TImagePage& page) {
    TPageProperties p;
    TGPBitmap* b = page.GetBitmap();
    if (!b)
        return p;
    p.PixelFormat = b->GetPixelFormat();
    p.Flags = b->GetFlags();
    p.HorizontalResolution = b->GetHorizontalResolution();
    return p;
}

} // namespace gd
