#include "IniFile.h"

#include "common/Exception.h"
#include "common/IntText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace gd {
namespace {

struct Line {
    QByteArray text; // without its line break
    QByteArray eol;  // "\r\n", "\n", "\r" or empty for a last line without one
};

std::vector<Line> SplitLines(const QByteArray& data) {
    std::vector<Line> lines;
    qsizetype start = 0;
    const qsizetype n = data.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            Line l{data.mid(start, i - start), {}};
            if (c == '\r' && i + 1 < n && data[i + 1] == '\n') {
                l.eol = "\r\n";
                ++i;
            } else {
                l.eol = QByteArray(1, c);
            }
            lines.push_back(std::move(l));
            start = i + 1;
        }
    }
    if (start < n)
        lines.push_back({data.mid(start), {}});
    return lines;
}

QByteArray Trimmed(const QByteArray& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.mid(b, e - b);
}

bool SameName(const QByteArray& a, const QString& b) {
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

// Section name of a "[name]" line, or nullopt for any other line.
std::optional<QByteArray> SectionOf(const QByteArray& line) {
    const QByteArray t = Trimmed(line);
    if (!t.startsWith('['))
        return std::nullopt;
    const qsizetype close = t.indexOf(']');
    return Trimmed(t.mid(1, close < 0 ? -1 : close - 1));
}

std::optional<QByteArray> KeyOf(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return std::nullopt;
    return Trimmed(line.left(eq));
}

struct Located {
    qsizetype section = -1; // index of the section's header line
    qsizetype key = -1;     // index of the key's line
    qsizetype end = -1;     // index after the section's last non-blank line
};

Located Locate(const std::vector<Line>& lines, const QString& section, const QString& key) {
    Located at;
    for (qsizetype i = 0; i < qsizetype(lines.size()); ++i) {
        if (auto s = SectionOf(lines[i].text)) {
            if (at.section >= 0)
                break;
            if (SameName(*s, section)) {
                at.section = i;
                at.end = i + 1;
            }
            continue;
        }
        if (at.section < 0)
            continue;
        if (!Trimmed(lines[i].text).isEmpty())
            at.end = i + 1;
        if (at.key < 0) {
            if (auto k = KeyOf(lines[i].text); k && SameName(*k, key))
                at.key = i;
        }
    }
    return at;
}

} // namespace

std::optional<QString> IniFile::ReadValue(const QString& section, const QString& key) const {
    QFile f(FPath);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto lines = SplitLines(f.readAll());
    const Located at = Locate(lines, section, key);
    if (at.key < 0)
        return std::nullopt;
    const QByteArray& line = lines[at.key].text;
    QByteArray value = Trimmed(line.mid(line.indexOf('=') + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.mid(1, value.size() - 2);
    QString text = QString::fromUtf8(value);
    if (text.size() > kValueLimit)
        text.truncate(kValueLimit);
    return text;
}

QString IniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    return ReadValue(section, key).value_or(def);
}

int IniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    const auto v = ReadValue(section, key);
    if (!v)
        return def;
    return ParseInt(*v).value_or(def);
}

bool IniFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

namespace {

// The file's text with the key set: every other line kept byte for byte.
QByteArray WithEntry(const QByteArray& data, const QString& section, const QString& key,
                     const QString& value) {
    auto lines = SplitLines(data);
    QByteArray eol = "\n";
    for (const Line& l : lines)
        if (!l.eol.isEmpty()) {
            eol = l.eol;
            break;
        }
    const QByteArray entry = key.toUtf8() + '=' + value.toUtf8();
    const Located at = Locate(lines, section, key);
    if (at.key >= 0) {
        lines[at.key].text = entry;
    } else if (at.section >= 0) {
        if (lines[at.end - 1].eol.isEmpty())
            lines[at.end - 1].eol = eol;
        lines.insert(lines.begin() + at.end, Line{entry, eol});
    } else {
        if (!lines.empty() && lines.back().eol.isEmpty())
            lines.back().eol = eol;
        lines.push_back({'[' + section.toUtf8() + ']', eol});
        lines.push_back({entry, eol});
    }
    QByteArray out;
    out.reserve(data.size() + entry.size() + 16);
    for (const Line& l : lines)
        out += l.text + l.eol;
    return out;
}

bool ReadAll(int fd, QByteArray& data) {
    data.clear();
    char buf[8192];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data.append(buf, n);
        at += n;
    }
}

bool WriteAll(int fd, const QByteArray& data) {
    for (qsizetype at = 0; at < data.size();) {
        const ssize_t n = ::pwrite(fd, data.constData() + at, size_t(data.size() - at), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
    }
    return true;
}

// A file that may be written in a folder that may not (a system install
// with a writable settings file) is rewritten in place, read and written
// under an exclusive flock. Room for a longer text is taken first, so a full
// disk fails before the old text is touched.
bool RewriteInPlace(const QString& path,
                    const std::function<QByteArray(const QByteArray&)>& change) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    QByteArray old;
    if (rc == 0 && ReadAll(fd, old)) {
        const QByteArray out = change(old);
        ok = (out.size() <= old.size() ||
              ::posix_fallocate(fd, old.size(), out.size() - old.size()) == 0) &&
             WriteAll(fd, out) && ::ftruncate(fd, out.size()) == 0 && ::fsync(fd) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

void IniFile::WriteString(const QString& section, const QString& key, const QString& value) const {
    QByteArray data;
    {
        QFile f(FPath);
        if (f.exists()) {
            if (!f.open(QIODevice::ReadOnly))
                throw Exception(QStringLiteral("Unable to write to %1").arg(FPath));
            data = f.readAll();
        }
    }
    const QByteArray out = WithEntry(data, section, key, value);

    // Written beside the file and renamed over it, so a crash or a full disk
    // never leaves a half-written settings file.
    QSaveFile save(FPath);
    save.setDirectWriteFallback(false);
    if (save.open(QIODevice::WriteOnly)) {
        if (save.write(out) == out.size() && save.commit())
            return;
    } else if (RewriteInPlace(FPath, [&](const QByteArray& now) {
                   return WithEntry(now, section, key, value);
               })) {
        return;
    }
    throw Exception(QStringLiteral("Unable to write to %1").arg(FPath));
}

void IniFile::WriteInteger(const QString& section, const QString& key, int value) const {
    WriteString(section, key, QString::number(value));
}

void IniFile::WriteBool(const QString& section, const QString& key, bool value) const {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QString SettingsFilePath(const QString& programPath) {
    const QFileInfo program(programPath);
    const QString besideProgram =
        program.path() + u'/' + program.completeBaseName() + QStringLiteral(".ini");
    if (QFileInfo::exists(besideProgram) ||
        ::access(QFile::encodeName(program.path()).constData(), W_OK) == 0)
        return besideProgram;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    QDir().mkpath(config + QStringLiteral("/gdserver"));
    return config + QStringLiteral("/gdserver/gdserver.ini");
}

} // namespace gd
