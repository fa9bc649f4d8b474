#pragma once

// A small tmpfs of its own, for the cases of a full file system.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace gdtest {

class Tmpfs {
public:
    // Mounts a tmpfs of the given size; Error() says why when it could not.
    explicit Tmpfs(int kilobytes) {
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
        if (::mount("tmpfs", QFile::encodeName(FDir.path()).constData(), "tmpfs", 0,
                    options.constData()) == 0)
            FMounted = true;
        else
            FError = QStringLiteral("cannot mount a tmpfs here: %1").arg(strerror(errno));
    }
    ~Tmpfs() {
        if (FMounted)
            ::umount2(QFile::encodeName(FDir.path()).constData(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

    bool Mounted() const { return FMounted; }
    const QString& Error() const { return FError; }
    QString Path(const QString& name) const { return FDir.path() + u'/' + name; }

    // Takes every free block: a filler file grows until the system says no.
    void Fill() {
        const int fd = ::open(QFile::encodeName(Path(".filler")).constData(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        const QByteArray block(4096, 'f');
        while (::write(fd, block.constData(), block.size()) > 0) {
        }
        while (::write(fd, block.constData(), 1) > 0) {
        }
        ::close(fd);
    }

private:
    QTemporaryDir FDir;
    bool FMounted = false;
    QString FError;
};

} // namespace gdtest
