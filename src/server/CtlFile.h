#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <ctime>
#include <functional>
#include <optional>
#include <sys/types.h>

namespace gd {

// Request marks: the first character of a request line.
constexpr char kMarkWaiting = '>';
constexpr char kMarkTaken = '*';
constexpr char kMarkDone = '<';
constexpr char kMarkFailed = '#';

// A request line: the mark, 34 characters of the client's own, then the
// command text from this 0-based position on.
constexpr int kClientChars = 34;
constexpr qsizetype kCommandTextPos = 1 + kClientChars;

// Control-file bytes to lines: CR LF, a lone CR or a lone LF ends a line; a
// last line without a break counts. Bytes are never converted. With offsets,
// the byte offset of each line's first character is appended there.
QList<QByteArray> ReadCtlLines(QByteArrayView data, QList<qint64>* offsets = nullptr);

// File names as the bytes the file system holds. Valid UTF-8 decodes as
// usual; each byte of anything else becomes U+DC80..U+DCFF, and encoding
// gives those bytes back, so every name survives the round trip (QFile's
// own decoding replaces such bytes for good).
QString DecodeFileName(QByteArrayView name);
QByteArray EncodeFileName(const QString& name);
// Whether a name exists at all, a link included (the link is not followed).
bool PathExists(const QString& path);
// A control file must be a regular file with a single name: never a link, a
// FIFO or a device, nor a hard link to a file elsewhere.
bool IsPlainFile(const QString& path);

// The command text of a line cut into items at each ";" (the piece after the
// last ";" only when not empty; an empty text gives one empty item).
QList<QByteArray> SplitCommand(const QByteArray& line);
// NAME=VALUE of an item: the name before the first "=", the value after it;
// without "=" both are empty.
QByteArray ItemName(const QByteArray& item);
QByteArray ItemValue(const QByteArray& item);
// The value of the first item after the keyword whose name equals name,
// ignoring letter case; empty when there is none.
QByteArray ParamValue(const QList<QByteArray>& items, QByteArrayView name);

// Letter case of the clients' code page (Windows-1251): ASCII and Cyrillic
// letters fold to lower case, every other byte stays.
char FoldCase(char c);
QByteArray FoldCase(QByteArrayView text);
// Windows-1251 text to and from Unicode; a character the code page lacks
// cannot be encoded.
QString FromCp1251(QByteArrayView text);
std::optional<QByteArray> ToCp1251(const QString& text);

// A taken request on its way: the line as taken (mark "*") and its result.
struct TMarkPair {
    QByteArray Line;
    char Mark = kMarkFailed;
};
using TMarkList = QList<TMarkPair>;

// Marks every waiting line taken and returns the pairs, results preset "#".
TMarkList TakeLines(QList<QByteArray>& lines);
// Writes each pair's mark into the first line equal to the pair's line
// (ignoring letter case); pairs whose line is gone are skipped. Returns the
// number of lines changed. Linear in the number of lines and pairs.
int ApplyMarks(QList<QByteArray>& lines, const TMarkList& marks);

// The rest of an open file, read to its end; nullopt when reading fails.
std::optional<QByteArray> ReadToEnd(int fd);

// The client's side: appends one line (and a line break before it when the
// file ends inside a line) with a single write, under an exclusive flock.
// When the write fails or falls short, the file is cut back to its old
// length before the lock goes. Returns the error message, empty on success.
QString AppendCtlLine(const QString& path, const QByteArray& line);

// A control file held open by the server: a shared flock, taken without
// blocking, so a client holding an exclusive flock makes an attempt fail.
// The file is never rewritten: only changed mark bytes are written, each in
// place, so lines that clients append meanwhile, locked or not, stay.
class TCtlStream {
public:
    TCtlStream() = default;
    ~TCtlStream() { Close(); }
    TCtlStream(const TCtlStream&) = delete;
    TCtlStream& operator=(const TCtlStream&) = delete;

    // One attempt: opens a plain file (see IsPlainFile) for reading and
    // writing, empties it when it holds a zero byte, reads its lines. A last
    // line without a break is left for later while the file is still growing.
    // False when the file cannot be opened or locked or read now; nothing
    // stays open then.
    //
    // When reading is incremental, the lines are a view of the file: every
    // line that can be taken (">") or found for a mark ("*"), in file order,
    // which is all that taking and marking look at. A file unchanged since it
    // was last known is not read at all; a file that only grew (its last
    // known block unchanged) is read from its old end; anything else whole.
    bool TryOpen(const QString& path, QList<QByteArray>& lines);

    // Incremental reading, for file systems whose changes raise events: the
    // caller reports every event (Touched), and drain reads the pending ones;
    // it is called with the file locked, after the stream's own writes, so
    // that a change after it is always reported.
    void SetIncremental(std::function<void()> drain) { FDrain = std::move(drain); }
    bool Incremental() const { return bool(FDrain); }
    void Touched(const QString& path);
    void Forget() { FKnown.clear(); }
    // True when the file is known to hold nothing to take and has not
    // changed since (checked with lstat only). Always false when not
    // incremental.
    bool Unchanged(const QString& path) const;
    // Whether the last TryOpen read nothing, or only the tail from this offset
    // (-1: the whole file); for tests.
    qint64 LastReadFrom() const { return FLastReadFrom; }
    // Writes the first byte of every line whose mark differs from the line as
    // read, in place, and closes the file; nothing else is written. Throws
    // gd::Exception when a write fails (the file is closed all the same).
    void SaveMarks(const QList<QByteArray>& lines);
    void Close();
    bool IsOpen() const { return FFd >= 0; }

private:
    // What was last known of a file, on the incremental path.
    struct TKnown {
        dev_t Dev = 0;
        ino_t Ino = 0;
        qint64 Size = 0;     // bytes known, from the start
        qint64 StatSize = 0; // the size the file had then
        timespec Mtime{}, Ctime{};
        QByteArray LastBlock;    // the last bytes known, up to 4096
        QList<QByteArray> Lines; // the lines starting with "*" or ">"
        QList<qint64> Offsets;   // and where they start
        bool Waiting = false;    // one of them starts with ">"
        bool Clean = false;      // nothing changed since, as far as events tell
    };
    void Remember(int fd, qint64 size, const QList<QByteArray>& lines);

    int FFd = -1;
    QString FPath;
    QList<QByteArray> FRead;
    QList<qint64> FOffsets;
    std::function<void()> FDrain;
    QHash<QString, TKnown> FKnown;
    qint64 FLastReadFrom = -1;
};

} // namespace gd
