#include "scanning/Scanners.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <gtest/gtest.h>

// Leaks that belong to libraries living as long as the process: D-Bus and
// fontconfig (an X11 connection), and SANE's test backend, which loses its
// reader's buffer when a scan ends while the reader winds down.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\nleak:libsane-test.so\n";
}

// Every test binary runs with a QApplication on the offscreen platform, so
// widgets, clipboard and event loops behave as in the program.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    gdtest::UseBuiltScanners();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
