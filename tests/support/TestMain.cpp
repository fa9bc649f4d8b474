#include "scanning/Scanners.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <gtest/gtest.h>

// Every test binary runs with a QApplication on the offscreen platform, so
// widgets, clipboard and event loops behave as in the program.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The window opens the TWAIN Source Manager built here, over a private
    // SANE configuration without devices unless a test asks for some.
    gd::TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(gdtest::SaneConfigDir()));
    gdtest::UseSaneTestBackend(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
