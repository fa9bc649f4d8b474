// Writes one settings key as the program does; the message on failure.
#include "common/Exception.h"
#include "settings/IniFile.h"

#include <QString>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 5)
        return 2;
    try {
        gd::IniFile(QString::fromLocal8Bit(argv[1]))
            .WriteString(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         QString::fromLocal8Bit(argv[4]));
    } catch (const gd::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
