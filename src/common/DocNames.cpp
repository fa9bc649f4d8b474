#include "common/DocNames.h"

#include <QFileInfo>

namespace gd {

bool IsSafeDocName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

QString DocFileName(const QString& folder, const QString& name, const QString& defaultExt) {
    const QString base =
        (folder.isEmpty() || folder.endsWith(u'/') ? folder : folder + u'/') + name + u'.';
    for (const char* ext : {"tif", "bmp", "jpg"}) {
        const QString path = base + QLatin1String(ext);
        if (QFileInfo(path).isFile())
            return path;
    }
    return base + defaultExt;
}

bool DocFileInFolder(const QString& folder, const QString& path) {
    const QFileInfo file(path);
    if (!file.isSymLink())
        return true; // the name itself has no folder part: it is in the folder
    const QString real = file.canonicalFilePath(); // empty for a link to nothing
    QString canonical = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty() || canonical.isEmpty() || !QFileInfo(real).isFile())
        return false;
    if (!canonical.endsWith(u'/'))
        canonical += u'/';
    return real.startsWith(canonical);
}

} // namespace gd
