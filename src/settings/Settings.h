#pragma once

#include "settings/IniFile.h"

#include <QString>

namespace gd {

enum class DocFormat { Tif, Bmp, Jpg };

// Section "Setup" of the settings file, held in memory for the run. The file
// is read once (LoadSetup) and written key by key (SaveSetup).
class TSettings {
public:
    explicit TSettings(QString iniPath) : FIni(std::move(iniPath)) {}

    void LoadSetup();
    void SaveSetup() const;
    // Writes the file only when the folder differs, letter case counting.
    void SetPathIMG(const QString& path);

    const QString& PathIMG() const { return FPathIMG; }
    QString GetDefFileExt() const;
    bool GetSaveOriginal() const { return FSaveOriginal; }
    int GetJpegQuality() const { return FJpegQuality; }

    DocFormat DefFormat() const { return FFormat; }
    void SetDefFormat(DocFormat f) { FFormat = f; }
    void SetSaveOriginal(bool keep) { FSaveOriginal = keep; }

    const IniFile& Ini() const { return FIni; }

private:
    IniFile FIni;
    QString FPathIMG;
    DocFormat FFormat = DocFormat::Tif;
    bool FSaveOriginal = true;
    // Nothing in the program changes the quality; it is 60 in every run.
    int FJpegQuality = 60;
};

} // namespace gd
