// The folder scan over a folder made from the input: plain files, links to
// files inside and outside, hard links, FIFOs, folders, names of any bytes.
// Only plain "*.dde" files are listed, by their exact bytes; the rotation
// opens nothing else; ageing deletes only listed files; nothing outside the
// folder changes.
#include "server/CtlFile.h"
#include "server/Watcher.h"

#include <QByteArray>
#include <QSet>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray g_root;   // holds "docs" and the victim outside it
QByteArray g_docs;   // with a trailing "/"
QByteArray g_victim; // a file outside that must never change
const QByteArray kVictim = QByteArray("keep\0", 5) + ">" + QByteArray(34, 'v') + "TEST=\n";

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void WriteRaw(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    Check(::write(fd, bytes.constData(), bytes.size()) == bytes.size());
    ::close(fd);
}

QByteArray ReadRaw(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    const auto data = gd::ReadToEnd(fd);
    ::close(fd);
    return data.value_or(QByteArray("?"));
}

void EmptyDocs() {
    DIR* dir = ::opendir(g_docs.constData());
    Check(dir != nullptr);
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        if (::unlinkat(::dirfd(dir), e->d_name, 0) != 0)
            ::unlinkat(::dirfd(dir), e->d_name, AT_REMOVEDIR);
    }
    ::closedir(dir);
}

bool IsDde(const QByteArray& name) {
    return name.size() >= 5 && name[0] != '.' && name.right(4).toLower() == ".dde";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ctlfolder-fuzz-XXXXXX";
    if (!::mkdtemp(dir))
        std::abort();
    g_root = dir;
    g_docs = g_root + "/docs/";
    g_victim = g_root + "/victim.txt";
    Check(::mkdir(g_docs.constData(), 0700) == 0);
    std::atexit([] {
        EmptyDocs();
        ::rmdir(g_docs.constData());
        ::unlink(g_victim.constData());
        ::rmdir(g_root.constData());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EmptyDocs();
    WriteRaw(g_victim, kVictim);

    // Entries: a kind byte, a name length, the name's bytes ("/" and the zero
    // byte become "_"); the kind's high bit adds ".dde" in some letter case.
    QSet<QByteArray> plain; // the regular "*.dde" files with one name
    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t kind = data[i];
        const std::size_t len = std::min<std::size_t>(data[i + 1], size - i - 2);
        QByteArray name(reinterpret_cast<const char*>(data + i + 2), static_cast<qsizetype>(len));
        i += 2 + len;
        name.replace('/', '_').replace('\0', '_');
        if (kind & 0x80)
            name += (kind & 0x40) ? ".DdE" : ".dde";
        if (name.isEmpty() || name == "." || name == ".." || name.size() > 200)
            continue;
        const QByteArray path = g_docs + name;
        struct stat st {};
        if (::lstat(path.constData(), &st) == 0)
            continue; // taken already
        switch (kind % 7) {
        case 0:
            WriteRaw(path, ">" + QByteArray(34, 'p') + "TEST=\r\n");
            if (IsDde(name))
                plain.insert(name);
            break;
        case 1:
            Check(::symlink(g_victim.constData(), path.constData()) == 0);
            break;
        case 2:
            Check(::symlink("../victim.txt", path.constData()) == 0);
            break;
        case 3:
            Check(::link(g_victim.constData(), path.constData()) == 0);
            break;
        case 4:
            Check(::mkfifo(path.constData(), 0600) == 0);
            break;
        case 5:
            Check(::mkdir(path.constData(), 0700) == 0);
            break;
        case 6:
            Check(::symlink("nowhere", path.constData()) == 0);
            break;
        }
    }

    // The listing: exactly the plain files, each by its own bytes.
    const QString folder = gd::DecodeFileName(g_docs);
    QSet<QByteArray> listed;
    for (const gd::TFoundFile& f : gd::ListCtlFiles(folder)) {
        const QByteArray raw = gd::EncodeFileName(f.Name);
        Check(gd::DecodeFileName(raw) == f.Name);
        Check(!listed.contains(raw));
        listed.insert(raw);
    }
    Check(listed == plain);

    // The rotation opens what it hands out; only plain files open.
    std::uint32_t now = 1;
    gd::TCtlWatcher watcher(gd::ListCtlFiles, [&] { return now; });
    for (int cycle = 0; cycle < 2 * (plain.size() + 1); ++cycle) {
        const QString path = watcher.NextCtlFile(folder);
        if (path.isEmpty())
            break;
        gd::TCtlStream stream;
        QList<QByteArray> lines;
        Check(stream.TryOpen(path, lines) ==
              plain.contains(gd::EncodeFileName(path).mid(g_docs.size())));
    }

    // Ageing deletes the listed files only.
    now += gd::TCtlWatcher::kStaleAge + 1;
    watcher.ScanCtlFolder(folder);
    for (const QByteArray& name : plain) {
        struct stat st {};
        Check(::lstat((g_docs + name).constData(), &st) != 0);
    }
    Check(ReadRaw(g_victim) == kVictim);
    return 0;
}
