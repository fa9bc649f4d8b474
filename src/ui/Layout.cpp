#include "Layout.h"

#include "settings/IniFile.h"

namespace gd {
namespace {
const QString kLayout = QStringLiteral("Layout");
}

TLayout ReadLayout(const IniFile& ini, const TLayout& defaults) {
    TLayout l;
    const int top = ini.ReadInteger(kLayout, QStringLiteral("Top"), defaults.bounds.top());
    const int left = ini.ReadInteger(kLayout, QStringLiteral("Left"), defaults.bounds.left());
    const int width = ini.ReadInteger(kLayout, QStringLiteral("Width"), defaults.bounds.width());
    const int height = ini.ReadInteger(kLayout, QStringLiteral("Height"), defaults.bounds.height());
    l.bounds = QRect(left, top, width, height);
    l.stayOnTop = ini.ReadBool(kLayout, QStringLiteral("StayOnTop"), false);
    l.fitInWindow = ini.ReadBool(kLayout, QStringLiteral("FitInWindow"), false);
    l.thumbnails = ini.ReadBool(kLayout, QStringLiteral("Thumbnails"), defaults.thumbnails);
    const int thumbnailsWidth =
        ini.ReadInteger(kLayout, QStringLiteral("ThumbnailsWidth"), defaults.thumbnailsWidth);
    l.thumbnailsWidth = thumbnailsWidth > 0 ? thumbnailsWidth : defaults.thumbnailsWidth;
    return l;
}

void WriteLayout(const IniFile& ini, const TLayout& l) {
    ini.WriteInteger(kLayout, QStringLiteral("Top"), l.bounds.top());
    ini.WriteInteger(kLayout, QStringLiteral("Left"), l.bounds.left());
    ini.WriteInteger(kLayout, QStringLiteral("Width"), l.bounds.width());
    ini.WriteInteger(kLayout, QStringLiteral("Height"), l.bounds.height());
    ini.WriteBool(kLayout, QStringLiteral("StayOnTop"), l.stayOnTop);
    ini.WriteBool(kLayout, QStringLiteral("FitInWindow"), l.fitInWindow);
    ini.WriteBool(kLayout, QStringLiteral("Thumbnails"), l.thumbnails);
    ini.WriteInteger(kLayout, QStringLiteral("ThumbnailsWidth"), l.thumbnailsWidth);
}

} // namespace gd
