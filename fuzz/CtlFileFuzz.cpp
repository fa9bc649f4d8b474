// The control-file reader and the request grammar over arbitrary bytes: the
// file as the server opens it, its lines, items, keyword, parameters, taking
// and marking in place; and gdclient's append, cut short at any length.
#include "server/CtlFile.h"

#include <QByteArray>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QString g_path;
std::string g_file;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void Put(const QByteArray& bytes) {
    const int fd = ::open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0 && ::write(fd, bytes.constData(), bytes.size()) == bytes.size());
    ::close(fd);
}

QByteArray Get() {
    const int fd = ::open(g_file.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    const auto data = gd::ReadToEnd(fd);
    ::close(fd);
    Check(data.has_value());
    return *data;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A real file: the server opens control files by path without following links.
    char dir[] = "/tmp/ctlfile-fuzz-XXXXXX";
    if (!::mkdtemp(dir))
        std::abort();
    g_file = std::string(dir) + "/c.ctl";
    g_path = QString::fromStdString(g_file);
    std::atexit([] {
        ::unlink(g_file.c_str());
        ::rmdir(g_file.substr(0, g_file.rfind('/')).c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // The reader on a real file: a zero byte empties it, otherwise the lines
    // are those of the bytes.
    Put(bytes);
    gd::TCtlStream stream;
    QList<QByteArray> lines;
    Check(stream.TryOpen(g_path, lines));
    if (bytes.contains('\0')) {
        Check(lines.isEmpty());
        stream.Close();
        Check(Get().isEmpty());
        return 0;
    }
    QList<qint64> offsets;
    Check(lines == gd::ReadCtlLines(bytes, &offsets));

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        Check(!line.contains('\r') && !line.contains('\n'));
        Check(bytes.mid(offsets[i], line.size()) == line);
        const QList<QByteArray> items = gd::SplitCommand(line);
        Check(!items.isEmpty());
        (void)gd::ItemName(items.first());
        (void)gd::ItemValue(items.first());
        (void)gd::ParamValue(items, "COPIES");
        Check(gd::FromCp1251(line).size() == line.size());
    }

    // Taking and marking: every taken line gets its mark back.
    QList<QByteArray> work = lines;
    gd::TMarkList taken = gd::TakeLines(work);
    for (qsizetype i = 0; i < taken.size(); ++i)
        taken[i].Mark = "<#>"[i % 3];
    qsizetype changes = 0;
    for (const auto& p : taken)
        changes += p.Mark != '*';
    Check(gd::ApplyMarks(work, taken) == changes);
    Check(work.size() == lines.size());
    for (qsizetype i = 0; i < work.size(); ++i)
        Check(work[i].mid(1) == lines[i].mid(1));

    // Marks in place: only first bytes of lines change, nothing else.
    stream.SaveMarks(work);
    QByteArray expected = bytes;
    for (qsizetype i = 0; i < work.size(); ++i)
        if (!work[i].isEmpty())
            expected[offsets[i]] = work[i][0];
    Check(Get() == expected);

    // gdclient's append under a file-size limit taken from the input: the
    // line goes in whole, or the file stays as it was.
    const QByteArray line = ">" + QByteArray(gd::kClientChars, 'c') + "DELETE=A0001";
    const rlim_t room = size > 0 ? data[0] % 64 : 0;
    // Writes beyond the limit fail instead of raising SIGXFSZ meanwhile.
    struct sigaction ignore {
    }, handler{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &handler);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = static_cast<rlim_t>(expected.size()) + room;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const QString error = gd::AppendCtlLine(g_path, line);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::sigaction(SIGXFSZ, &handler, nullptr);
    const bool open = !expected.isEmpty() && !expected.endsWith('\n') && !expected.endsWith('\r');
    const QByteArray whole = expected + (open ? "\r\n" : "") + line + "\r\n";
    Check(error.isEmpty() == (whole.size() <= expected.size() + static_cast<qsizetype>(room)));
    Check(Get() == (error.isEmpty() ? whole : expected));
    // Incremental reading: the file read, then grown by the rest of the input,
    // is taken exactly as a whole read would take it.
    if (size > 1) {
        const qsizetype split = data[1] % (bytes.size() + 1);
        Put(bytes.left(split));
        gd::TCtlStream inc;
        inc.SetIncremental([] {});
        QList<QByteArray> first;
        Check(inc.TryOpen(g_path, first));
        inc.Close();
        const int fd = ::open(g_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const QByteArray rest = bytes.mid(split);
        Check(fd >= 0 && ::write(fd, rest.constData(), rest.size()) == rest.size());
        ::close(fd);
        inc.Touched(g_path);
        QList<QByteArray> view;
        Check(inc.TryOpen(g_path, view));
        gd::TakeLines(view);
        inc.SaveMarks(view);
        QByteArray taken = bytes;
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith('>'))
                taken[offsets[i]] = '*';
        Check(Get() == taken);
    }

    return 0;
}
