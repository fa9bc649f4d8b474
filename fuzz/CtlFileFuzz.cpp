// The control-file reader and the request grammar over arbitrary bytes: the
// file as the server opens it, its lines, items, keyword, parameters, taking
// and marking, and the rewrite.
#include "server/CtlFile.h"

#include <QByteArray>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::string g_path;
int g_fd = -1;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A file in memory, opened again by path as the server opens its files.
    g_fd = ::memfd_create("ctlfile-fuzz", MFD_CLOEXEC);
    if (g_fd < 0)
        std::abort();
    g_path = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // The reader on a real file: a zero byte empties it, otherwise the lines
    // are those of the bytes.
    Check(::ftruncate(g_fd, 0) == 0);
    Check(::pwrite(g_fd, bytes.constData(), bytes.size(), 0) == bytes.size());
    gd::TCtlStream stream;
    QList<QByteArray> lines;
    Check(stream.TryOpen(QString::fromStdString(g_path), lines));
    if (bytes.contains('\0')) {
        Check(lines.isEmpty());
        stream.Close();
        return 0;
    }
    Check(lines == gd::ReadCtlLines(bytes));

    for (const QByteArray& line : lines) {
        Check(!line.contains('\r') && !line.contains('\n'));
        const QList<QByteArray> items = gd::SplitCommand(line);
        Check(!items.isEmpty());
        const gd::TCommand command = gd::FindCommand(gd::ItemName(items.first()));
        (void)command;
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

    // The rewrite reads back as the same lines.
    stream.Save(work);
    Check(gd::ReadCtlLines(gd::JoinCtlLines(work)) == work);
    return 0;
}
