// Takes the instance lock as a starting server does, when standard input
// says go, tells whether it was warned, and holds the lock until standard
// input ends.
#include "common/Exception.h"
#include "server/Startup.h"

#include <QString>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    gd::TInstanceLock lock(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    std::puts("ready");
    std::fflush(stdout);
    char c;
    if (::read(0, &c, 1) != 1)
        return 2;
    bool warned = false;
    try {
        lock.CheckSingleInstance();
    } catch (const gd::Exception&) {
        warned = true;
    }
    std::puts(warned ? "warned" : "alone");
    std::fflush(stdout);
    while (::read(0, &c, 1) > 0) {
    }
    return lock.IsHeld() ? 0 : 1;
}
