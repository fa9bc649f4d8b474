#include "CtlFile.h"

#include "common/Exception.h"

#include <QFile>
#include <QHash>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gd {

QList<QByteArray> ReadCtlLines(QByteArrayView data) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = data.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            lines.append(data.sliced(start, i - start).toByteArray());
            ++i;
            if (c == '\r' && i < n && data[i] == '\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n)
        lines.append(data.sliced(start).toByteArray());
    return lines;
}

QByteArray JoinCtlLines(const QList<QByteArray>& lines) {
    qsizetype size = 0;
    for (const QByteArray& line : lines)
        size += line.size() + 2;
    QByteArray out;
    out.reserve(size);
    for (const QByteArray& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

QList<QByteArray> SplitCommand(const QByteArray& line) {
    QList<QByteArray> items;
    QByteArrayView rest = line.size() > kCommandTextPos
                              ? QByteArrayView(line).sliced(kCommandTextPos)
                              : QByteArrayView();
    do {
        const qsizetype semi = rest.indexOf(';');
        if (semi >= 0) {
            items.append(rest.first(semi).toByteArray());
            rest = rest.sliced(semi + 1);
        } else {
            items.append(rest.toByteArray());
            rest = QByteArrayView();
        }
    } while (!rest.isEmpty());
    return items;
}

QByteArray ItemName(const QByteArray& item) {
    const qsizetype eq = item.indexOf('=');
    return eq < 0 ? QByteArray() : item.left(eq);
}

QByteArray ItemValue(const QByteArray& item) {
    const qsizetype eq = item.indexOf('=');
    return eq < 0 ? QByteArray() : item.mid(eq + 1);
}

QByteArray ParamValue(const QList<QByteArray>& items, QByteArrayView name) {
    const QByteArray wanted = FoldCase(name);
    for (qsizetype i = 1; i < items.size(); ++i) {
        const qsizetype eq = items[i].indexOf('=');
        if (eq >= 0 && FoldCase(QByteArrayView(items[i]).first(eq)) == wanted)
            return items[i].mid(eq + 1);
    }
    return {};
}

TCommand FindCommand(QByteArrayView keyword) {
    static const struct {
        const char* Name;
        TCommand Command;
    } table[] = {{"TEST", TCommand::Test}, {"PRINT", TCommand::Print},   {"SHOW", TCommand::Show},
                 {"EDIT", TCommand::Edit}, {"DELETE", TCommand::Delete}, {"HIDE", TCommand::Hide},
                 {"EXIT", TCommand::Exit}};
    QByteArray upper = keyword.toByteArray();
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (const auto& entry : table)
        if (upper == entry.Name)
            return entry.Command;
    return TCommand::Unknown;
}

namespace {

// Windows-1251 bytes 0x80..0xBF as Unicode; 0x98 has no character and keeps
// its C1 code so that every byte round-trips.
constexpr std::array<char16_t, 64> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<unsigned char>(i);
    for (int c = 'A'; c <= 'Z'; ++c)
        t[c] = static_cast<unsigned char>(c + 32);
    for (int c = 0xC0; c <= 0xDF; ++c)
        t[c] = static_cast<unsigned char>(c + 32);
    // The Cyrillic capitals outside the main block and their small letters.
    static const unsigned char pairs[][2] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                                             {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
                                             {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA},
                                             {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
    for (const auto& p : pairs)
        t[p[0]] = p[1];
    return t;
}

const std::array<unsigned char, 256> kFold = MakeFoldTable();

} // namespace

char FoldCase(char c) {
    return static_cast<char>(kFold[static_cast<unsigned char>(c)]);
}

QByteArray FoldCase(QByteArrayView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = FoldCase(text[i]);
    return out;
}

QString FromCp1251(QByteArrayView text) {
    QString out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80)
            out += QChar(b);
        else if (b < 0xC0)
            out += QChar(kCp1251High[b - 0x80]);
        else
            out += QChar(char16_t(0x0410 + (b - 0xC0)));
    }
    return out;
}

std::optional<QByteArray> ToCp1251(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u >= 0x0410 && u <= 0x044F) {
            out += static_cast<char>(0xC0 + (u - 0x0410));
        } else {
            const auto* it = std::find(kCp1251High.begin(), kCp1251High.end(), u);
            if (it == kCp1251High.end())
                return std::nullopt;
            out += static_cast<char>(0x80 + (it - kCp1251High.begin()));
        }
    }
    return out;
}

TMarkList TakeLines(QList<QByteArray>& lines) {
    TMarkList taken;
    for (QByteArray& line : lines) {
        if (!line.isEmpty() && line[0] == kMarkWaiting) {
            line[0] = kMarkTaken;
            taken.append({line, kMarkFailed});
        }
    }
    return taken;
}

int ApplyMarks(QList<QByteArray>& lines, const TMarkList& marks) {
    if (marks.isEmpty())
        return 0;
    // Folded line -> indexes of the lines that read so, in file order; a
    // changed line moves to the entry of its new text.
    QHash<QByteArray, std::set<qsizetype>> index;
    index.reserve(lines.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        index[FoldCase(lines[i])].insert(i);
    int changed = 0;
    for (const TMarkPair& pair : marks) {
        if (pair.Line.isEmpty())
            continue;
        const auto it = index.find(FoldCase(pair.Line));
        if (it == index.end() || it->empty())
            continue;
        const qsizetype i = *it->begin();
        if (lines[i][0] == pair.Mark)
            continue;
        it->erase(it->begin());
        lines[i][0] = pair.Mark;
        index[FoldCase(lines[i])].insert(i);
        ++changed;
    }
    return changed;
}

std::optional<QByteArray> ReadToEnd(int fd) {
    QByteArray data;
    char buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return data;
        data.append(buf, got);
    }
}

bool TCtlStream::TryOpen(const QString& path, QList<QByteArray>& lines) {
    Close();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    std::optional<QByteArray> read = ReadToEnd(fd);
    if (!read) {
        ::close(fd);
        return false;
    }
    QByteArray data = std::move(*read);
    if (data.contains('\0')) {
        if (::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return false;
        }
        data.clear();
    }
    lines = ReadCtlLines(data);
    FFd = fd;
    FPath = path;
    return true;
}

void TCtlStream::Save(const QList<QByteArray>& lines) {
    if (FFd < 0)
        return;
    const QByteArray data = JoinCtlLines(lines);
    bool ok = ::ftruncate(FFd, 0) == 0;
    qsizetype done = 0;
    while (ok && done < data.size()) {
        const ssize_t put = ::pwrite(FFd, data.constData() + done, data.size() - done, done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            ok = false;
        else
            done += put;
    }
    const QString path = FPath;
    Close();
    if (!ok)
        throw Exception(QStringLiteral("Ошибка записи в файл \"%1\"").arg(path));
}

void TCtlStream::Close() {
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

} // namespace gd
