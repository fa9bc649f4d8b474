#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace gd {

// A private-profile (INI) file: every key is read or written by its own call,
// and a write keeps every other line of the file byte for byte. Section and
// key names match ignoring letter case. A write replaces the file atomically.
class IniFile {
public:
    explicit IniFile(QString path) : FPath(std::move(path)) {}

    const QString& path() const { return FPath; }

    // The value of a key, trimmed of blanks and of one pair of enclosing
    // quotes, cut to 2047 characters; nullopt when the file, section or key
    // is missing.
    std::optional<QString> ReadValue(const QString& section, const QString& key) const;
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    int ReadInteger(const QString& section, const QString& key, int def) const;
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    // Throws gd::Exception "Unable to write to <path>" when the file cannot be written.
    void WriteString(const QString& section, const QString& key, const QString& value) const;
    void WriteInteger(const QString& section, const QString& key, int value) const;
    void WriteBool(const QString& section, const QString& key, bool value) const;

    static constexpr int kValueLimit = 2047;

private:
    QString FPath;
};

// The settings file's place: the program file's path with ".ini" for its
// extension; when that folder cannot be written and holds no settings file,
// $XDG_CONFIG_HOME/gdserver/gdserver.ini.
QString SettingsFilePath(const QString& programPath);

} // namespace gd
