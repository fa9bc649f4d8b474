#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

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
// last line without a break counts. Bytes are never converted.
QList<QByteArray> ReadCtlLines(QByteArrayView data);
// Lines back to bytes, each followed by CR LF.
QByteArray JoinCtlLines(const QList<QByteArray>& lines);

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

enum class TCommand { Unknown, Test, Print, Show, Edit, Delete, Hide, Exit };
// Upper-cases ASCII letters only and compares exactly with the keywords.
TCommand FindCommand(QByteArrayView keyword);

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

// A control file held open by the server: a shared flock, taken without
// blocking, so a client holding an exclusive flock makes an attempt fail.
// The rest of an open file, read to its end; nullopt when reading fails.
std::optional<QByteArray> ReadToEnd(int fd);

class TCtlStream {
public:
    TCtlStream() = default;
    ~TCtlStream() { Close(); }
    TCtlStream(const TCtlStream&) = delete;
    TCtlStream& operator=(const TCtlStream&) = delete;

    // One attempt: opens for reading and writing, empties the file when it
    // holds a zero byte, reads its lines. False when the file cannot be opened
    // or locked or read now; nothing stays open then.
    bool TryOpen(const QString& path, QList<QByteArray>& lines);
    // Truncates the same file in place, writes the lines, closes it. Throws
    // gd::Exception when the writing fails (the file is closed all the same).
    void Save(const QList<QByteArray>& lines);
    void Close();
    bool IsOpen() const { return FFd >= 0; }

private:
    int FFd = -1;
    QString FPath;
};

} // namespace gd
