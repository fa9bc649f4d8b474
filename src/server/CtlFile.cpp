#include "CtlFile.h"

#include "common/Exception.h"

#include <QHash>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gd {

QList<QByteArray> ReadCtlLines(QByteArrayView data, QList<qint64>* offsets) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = data.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            lines.append(data.sliced(start, i - start).toByteArray());
            if (offsets)
                offsets->append(start);
            ++i;
            if (c == '\r' && i < n && data[i] == '\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n) {
        lines.append(data.sliced(start).toByteArray());
        if (offsets)
            offsets->append(start);
    }
    return lines;
}

QString DecodeFileName(QByteArrayView name) {
    QString out;
    out.reserve(name.size());
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const qsizetype n = name.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned b = p[i];
        if (b < 0x80) {
            out += QChar(char16_t(b));
            ++i;
            continue;
        }
        int len = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if (b >= 0xC2 && b <= 0xDF)
            len = 2, cp = b & 0x1F, least = 0x80;
        else if (b >= 0xE0 && b <= 0xEF)
            len = 3, cp = b & 0x0F, least = 0x800;
        else if (b >= 0xF0 && b <= 0xF4)
            len = 4, cp = b & 0x07, least = 0x10000;
        bool ok = len > 0 && i + len <= n;
        for (int k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        // Overlong forms and encoded surrogates are no UTF-8: escaped too.
        ok = ok && cp >= least && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (ok) {
            out += QChar::fromUcs4(cp);
            i += len;
        } else {
            out += QChar(char16_t(0xDC00 + b));
            ++i;
        }
    }
    return out;
}

QByteArray EncodeFileName(const QString& name) {
    QByteArray out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name[i].unicode();
        if (u >= 0xDC80 && u <= 0xDCFF) {
            out += static_cast<char>(u - 0xDC00);
            continue;
        }
        char32_t cp = u;
        if (QChar::isHighSurrogate(u) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(u, name[i + 1].unicode());
            ++i;
        } else if (QChar::isSurrogate(u)) {
            cp = 0xFFFD; // a lone surrogate no decoding gave: no bytes of its own
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

bool IsPlain(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

} // namespace

bool PathExists(const QString& path) {
    struct stat st {};
    return ::lstat(EncodeFileName(path).constData(), &st) == 0;
}

bool IsPlainFile(const QString& path) {
    struct stat st {};
    return ::lstat(EncodeFileName(path).constData(), &st) == 0 && IsPlain(st);
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

namespace {

constexpr qint64 kKnownBlock = 4096;

// The bytes of an open file from offset to its end; nullopt when reading fails.
std::optional<QByteArray> ReadFrom(int fd, qint64 offset) {
    if (::lseek(fd, offset, SEEK_SET) != offset)
        return std::nullopt;
    return ReadToEnd(fd);
}

QByteArray ReadBlockBefore(int fd, qint64 end) {
    const qint64 start = std::max<qint64>(0, end - kKnownBlock);
    QByteArray block(end - start, Qt::Uninitialized);
    qint64 done = 0;
    while (done < block.size()) {
        const ssize_t got = ::pread(fd, block.data() + done, block.size() - done, start + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return QByteArray(); // compares unequal to any kept block but an empty one
        done += got;
    }
    return block;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool TCtlStream::TryOpen(const QString& path, QList<QByteArray>& lines) {
    Close();
    const QByteArray name = EncodeFileName(path);
    // Checked before opening, since opening a FIFO or a device may already do
    // something, and again on the open file against a swap in between.
    if (!IsPlainFile(path)) {
        FKnown.remove(path);
        return false;
    }
    const int fd =
        ::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !IsPlain(st) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    // What can be skipped: all of an unchanged file, the known part of one
    // that only grew after a line break.
    qint64 from = 0;
    const auto known = FKnown.constFind(path);
    const bool same = Incremental() && known != FKnown.cend() && known->Dev == st.st_dev &&
                      known->Ino == st.st_ino && !known->Waiting;
    QList<QByteArray> view;
    QList<qint64> viewAt;
    if (same && known->Clean && st.st_size == known->Size && SameTime(st.st_mtim, known->Mtime) &&
        SameTime(st.st_ctim, known->Ctime)) {
        from = known->Size;
    } else if (same && st.st_size > known->Size && known->Size > 0 &&
               (known->LastBlock.endsWith('\n') || known->LastBlock.endsWith('\r')) &&
               ReadBlockBefore(fd, known->Size) == known->LastBlock) {
        from = known->Size;
    }
    if (from > 0) {
        view = known->Lines;
        viewAt = known->Offsets;
    }
    std::optional<QByteArray> read = ReadFrom(fd, from);
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
        from = 0;
        view.clear();
        viewAt.clear();
    }
    // A client appending without a lock may be half way through its line.
    if (!data.isEmpty() && !data.endsWith('\n') && !data.endsWith('\r') &&
        (::fstat(fd, &st) != 0 || st.st_size > from + data.size())) {
        const qsizetype lastBreak = std::max(data.lastIndexOf('\n'), data.lastIndexOf('\r'));
        data.truncate(lastBreak + 1);
    }
    QList<qint64> offsets;
    QList<QByteArray> tail = ReadCtlLines(data, &offsets);
    if (from == 0 || !Incremental()) {
        view = std::move(tail);
        viewAt = std::move(offsets);
    } else {
        for (qsizetype i = 0; i < tail.size(); ++i) {
            if (tail[i].startsWith(kMarkWaiting) || tail[i].startsWith(kMarkTaken)) {
                view.append(std::move(tail[i]));
                viewAt.append(from + offsets[i]);
            }
        }
    }
    FLastReadFrom = from;
    FOffsets = std::move(viewAt);
    lines = view;
    FRead = std::move(view);
    FFd = fd;
    FPath = path;
    if (Incremental())
        Remember(fd, from + data.size(), FRead);
    return true;
}

void TCtlStream::Remember(int fd, qint64 size, const QList<QByteArray>& lines) {
    TKnown k;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        FKnown.remove(FPath);
        return;
    }
    k.Dev = st.st_dev;
    k.Ino = st.st_ino;
    k.Size = size;
    k.StatSize = st.st_size;
    k.Mtime = st.st_mtim;
    k.Ctime = st.st_ctim;
    k.LastBlock = ReadBlockBefore(fd, size);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(kMarkWaiting) || lines[i].startsWith(kMarkTaken)) {
            k.Lines.append(lines[i]);
            k.Offsets.append(FOffsets[i]);
            k.Waiting = k.Waiting || lines[i].startsWith(kMarkWaiting);
        }
    }
    // Events of the stream's own writes are read here, under the lock: any
    // event after this is someone else's change.
    FDrain();
    k.Clean = st.st_size == size;
    FKnown.insert(FPath, std::move(k));
}

void TCtlStream::Touched(const QString& path) {
    const auto it = FKnown.find(path);
    if (it != FKnown.end())
        it->Clean = false;
}

bool TCtlStream::Unchanged(const QString& path) const {
    if (!Incremental())
        return false;
    const auto known = FKnown.constFind(path);
    if (known == FKnown.cend() || !known->Clean || known->Waiting)
        return false;
    struct stat st {};
    return ::lstat(EncodeFileName(path).constData(), &st) == 0 && IsPlain(st) &&
           st.st_dev == known->Dev && st.st_ino == known->Ino && st.st_size == known->Size &&
           SameTime(st.st_mtim, known->Mtime) && SameTime(st.st_ctim, known->Ctime);
}

void TCtlStream::SaveMarks(const QList<QByteArray>& lines) {
    if (FFd < 0)
        return;
    bool ok = true;
    const qsizetype n = std::min(lines.size(), FRead.size());
    for (qsizetype i = 0; ok && i < n; ++i) {
        if (lines[i].isEmpty() || FRead[i].isEmpty() || lines[i][0] == FRead[i][0])
            continue;
        ssize_t put;
        do {
            put = ::pwrite(FFd, lines[i].constData(), 1, FOffsets[i]);
        } while (put < 0 && errno == EINTR);
        ok = put == 1;
    }
    if (Incremental()) {
        const auto known = FKnown.constFind(FPath);
        if (ok && known != FKnown.cend())
            Remember(FFd, known->Size, lines);
        else
            FKnown.remove(FPath);
    }
    const QString path = FPath;
    Close();
    if (!ok)
        throw Exception(QStringLiteral("Ошибка записи в файл \"%1\"").arg(path));
}

QString AppendCtlLine(const QString& path, const QByteArray& line) {
    const auto failure = [&](const char* what, int error) {
        return QStringLiteral("cannot %1 %2: %3")
            .arg(QLatin1String(what), path, QString::fromLocal8Bit(strerror(error)));
    };
    // O_APPEND: a client that appends without a lock meanwhile is never
    // written over.
    const int fd = ::open(EncodeFileName(path).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return failure("open", errno);
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) != 0 || (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1)) {
        const QString error = failure("read", errno);
        ::close(fd);
        return error;
    }
    QByteArray add;
    if (last != '\n' && last != '\r')
        add += "\r\n";
    add += line + "\r\n";
    ssize_t put;
    do {
        put = ::write(fd, add.constData(), add.size());
    } while (put < 0 && errno == EINTR);
    QString error;
    if (put != add.size()) {
        error = put < 0 ? failure("write", errno) : failure("write", ENOSPC);
        // A cut request could name another document: take back what went in,
        // unless someone appended behind it meanwhile.
        if (put > 0) {
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            const bool cut = end >= put && ::fstat(fd, &st) == 0 && st.st_size == end &&
                             ::ftruncate(fd, end - put) == 0;
            if (!cut)
                error += QStringLiteral("; the file keeps %1 bytes of the line").arg(put);
        }
    }
    ::close(fd);
    return error;
}

void TCtlStream::Close() {
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

} // namespace gd
