// Scanning speed with SANE's test backend (a private configuration):
//  - start-up of the Source Manager with the default Source found, in a fresh
//    process (the program's case) and again in a warm one;
//  - an A4 page at 300 dpi gray acquired into a BMP through the Source Manager
//    versus scanimage writing the same scan to a file.
// Run: scan_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only

#include "scanning/Scanners.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>

namespace {

QString gConfigDir;
QString gSelf;

void WriteConfig(const QString& dir) {
    QFile dll(dir + QStringLiteral("/dll.conf"));
    dll.open(QIODevice::WriteOnly);
    dll.write("test\n");
    QFile src(QStringLiteral("/etc/sane.d/test.conf"));
    src.open(QIODevice::ReadOnly);
    QByteArrayList lines = src.readAll().split('\n');
    for (QByteArray& l : lines)
        if (l.startsWith("geometry_max"))
            l = "geometry_max 300.0";
    QFile conf(dir + QStringLiteral("/test.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write(lines.join('\n'));
}

const char* const kA4Gray = "mode=Gray;depth=8;resolution=300;tl-x=0;tl-y=0;br-x=210;br-y=297";

// A fresh process: application object, manager opened, default Source found.
void BM_StartupFreshProcess(benchmark::State& state) {
    for (auto _ : state) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SANE_CONFIG_DIR"), gConfigDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(gSelf, {QStringLiteral("--startup-child")});
        p.waitForFinished(30000);
        state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
        if (p.exitCode() != 0)
            state.SkipWithError("no default Source in the child");
    }
}
BENCHMARK(BM_StartupFreshProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_StartupWarm(benchmark::State& state) {
    QWidget window;
    for (auto _ : state) {
        gd::TWOpenDSM(&window);
        if (!gd::TWGetDefaultDS())
            state.SkipWithError("no default Source");
        state.PauseTiming();
        gd::TWCloseDSM();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartupWarm)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_AcquireA4Gray300(benchmark::State& state) {
    QWidget window;
    gd::TTwainMessageHook hook({});
    qApp->installEventFilter(&hook);
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", kA4Gray);
    gd::TWOpenDSM(&window);
    gd::TWGetDefaultDS();
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("page.bmp"));
    for (auto _ : state) {
        if (!gd::TWAcquireToFile(&window, file))
            state.SkipWithError("no file");
        state.PauseTiming();
        QFile::remove(file);
        state.ResumeTiming();
    }
    gd::TWCloseDSM();
    qApp->removeEventFilter(&hook);
}
BENCHMARK(BM_AcquireA4Gray300)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScanimageA4Gray300(benchmark::State& state) {
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("page.pnm"));
    for (auto _ : state) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SANE_CONFIG_DIR"), gConfigDir);
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(QStringLiteral("scanimage"),
                {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--mode"),
                 QStringLiteral("Gray"), QStringLiteral("--depth"), QStringLiteral("8"),
                 QStringLiteral("--resolution"), QStringLiteral("300"), QStringLiteral("-l"),
                 QStringLiteral("0"), QStringLiteral("-t"), QStringLiteral("0"),
                 QStringLiteral("-x"), QStringLiteral("210"), QStringLiteral("-y"),
                 QStringLiteral("297"), QStringLiteral("--format=pnm"), QStringLiteral("-o"),
                 file});
        p.waitForFinished(60000);
        state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
        if (p.exitCode() != 0)
            state.SkipWithError("scanimage failed");
        QFile::remove(file);
    }
}
BENCHMARK(BM_ScanimageA4Gray300)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    gd::TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
    if (argc > 1 && std::strcmp(argv[1], "--startup-child") == 0) {
        QApplication app(argc, argv);
        QWidget window;
        gd::TWOpenDSM(&window);
        const bool found = gd::TWGetDefaultDS();
        gd::TWCloseDSM();
        return found ? 0 : 1;
    }
    QApplication app(argc, argv);
    gSelf = QCoreApplication::applicationFilePath();
    QTemporaryDir config;
    gConfigDir = config.path();
    WriteConfig(gConfigDir);
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(gConfigDir));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
