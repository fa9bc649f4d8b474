#include "Settings.h"

namespace gd {
namespace {
const QString kSetup = QStringLiteral("Setup");
}

void TSettings::LoadSetup() {
    FPathIMG = FIni.ReadString(kSetup, QStringLiteral("PathIMG"), QString());
    QString ext = FIni.ReadString(kSetup, QStringLiteral("DefFileExt"), QStringLiteral("tif"));
    // ASCII letters only, as the clients' platform lower-cases it.
    for (QChar& c : ext)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 32);
    if (ext == QStringLiteral("bmp"))
        FFormat = DocFormat::Bmp;
    else if (ext == QStringLiteral("jpg"))
        FFormat = DocFormat::Jpg;
    else
        FFormat = DocFormat::Tif;
    FSaveOriginal = !FIni.ReadBool(kSetup, QStringLiteral("ConvertDefExt"), false);
}

void TSettings::SaveSetup() const {
    FIni.WriteString(kSetup, QStringLiteral("PathIMG"), FPathIMG);
    FIni.WriteString(kSetup, QStringLiteral("DefFileExt"), GetDefFileExt());
    FIni.WriteString(kSetup, QStringLiteral("ConvertDefExt"),
                     FSaveOriginal ? QStringLiteral("0") : QStringLiteral("1"));
}

void TSettings::SetPathIMG(const QString& path) {
    if (path == FPathIMG)
        return;
    FPathIMG = path;
    SaveSetup();
}

QString TSettings::GetDefFileExt() const {
    switch (FFormat) {
    case DocFormat::Bmp:
        return QStringLiteral("bmp");
    case DocFormat::Jpg:
        return QStringLiteral("jpg");
    case DocFormat::Tif:
        break;
    }
    return QStringLiteral("tif");
}

} // namespace gd
