// Scanning speed with SANE's test backend (a private configuration):
//  - the program's start-up, with the Source Manager open and the default
//    Source found, to its first command cycle (a TEST request marked done);
//  - start-up of the Source Manager alone, in a fresh process and a warm one;
//  - an A4 page at 300 dpi gray scanned into the open document and shown,
//    and acquired into a BMP file, versus scanimage writing it to a file.
// Run: scan_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only

#include "document/GdipExt.h"
#include "document/ImageServices.h"
#include "scanning/Scanners.h"
#include "server/DocServer.h"
#include "server/Startup.h"
#include "settings/Settings.h"
#include "support/WindowAccess.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <csignal>
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

QByteArray Request(const QByteArray& command) {
    return '>' + QByteArray("bench").leftJustified(34, '.') + command + "\r\n";
}

// The program itself: started with a TEST request waiting, until it is marked.
void BM_ProgramStartToFirstCycle(benchmark::State& state) {
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("gdserver"));
    QFile::copy(QStringLiteral(GD_SERVER_EXE), exe);
    QFile::setPermissions(exe, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile::copy(QStringLiteral(GD_DSM_LIB), dir.filePath(QStringLiteral("libgdtwaindsm.so")));
    const QString docs = dir.filePath(QStringLiteral("docs"));
    QDir().mkpath(docs);
    const QString ctl = dir.filePath(QStringLiteral("client.ctl"));
    for (auto _ : state) {
        QFile f(ctl);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(Request("TEST="));
        f.close();
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SANE_CONFIG_DIR"), gConfigDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(exe, {docs, ctl});
        bool done = false;
        while (!done && t.elapsed() < 10000) {
            QFile r(ctl);
            if (r.open(QIODevice::ReadOnly))
                done = r.read(1) == "<";
            if (!done)
                QThread::usleep(500);
        }
        state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
        ::kill(pid_t(p.processId()), SIGTERM);
        p.waitForFinished(10000);
        if (!done)
            state.SkipWithError("the request was not served");
    }
}
BENCHMARK(BM_ProgramStartToFirstCycle)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// "Сканировать изображение..." in an edited document: the page is shown when
// the action returns.
void BM_ScanA4Gray300ToPageOnScreen(benchmark::State& state) {
    QTemporaryDir dir;
    const QString docs = dir.filePath(QStringLiteral("docs"));
    QDir().mkpath(docs);
    const QString ctl = dir.filePath(QStringLiteral("client.ctl"));
    {
        QFile f(ctl);
        f.open(QIODevice::WriteOnly);
        f.write(Request("EDIT=Scans"));
    }
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", kA4Gray);
    gd::TSettings settings(dir.filePath(QStringLiteral("gdserver.ini")));
    settings.LoadSetup();
    gd::TInstanceLock lock(QStringLiteral("/BENCH/") + dir.path(), dir.path());
    {
        gd::TfrmMain w(settings, lock, {docs, ctl});
        gd::TfrmMainTestAccess x(w);
        w.ErrorBox = [&state](const QString& m) { state.SkipWithError(m.toUtf8().constData()); };
        if (!w.FormCreate() || !x.I.ItemScaner->isEnabled()) {
            state.SkipWithError("no default Source");
            return;
        }
        w.Server()->SetServerActive(true);
        w.Server()->ExecuteCommands();
        for (auto _ : state) {
            const int before = x.Doc.PageCount();
            x.A.ActionPageAddFromScan->trigger();
            state.PauseTiming();
            if (x.Doc.PageCount() != before + 1)
                state.SkipWithError("no page");
            // As the other runs remove their file: drop the page and its file.
            x.Doc.Reload();
            state.ResumeTiming();
        }
    }
    qunsetenv("TMPDIR");
}
BENCHMARK(BM_ScanA4Gray300ToPageOnScreen)->Unit(benchmark::kMillisecond)->Iterations(5);

// The document's side of a scanned page: the BMP opened as a page and
// decoded for the screen (part of the scan to the page on screen).
void BM_OpenScannedA4Gray300Page(benchmark::State& state) {
    QWidget window;
    gd::TTwainMessageHook hook({});
    qApp->installEventFilter(&hook);
    qputenv("GD_TWAIN_AUTOSCAN", "1");
    qputenv("GD_TWAIN_SANE_OPTIONS", kA4Gray);
    gd::TWOpenDSM(&window);
    gd::TWGetDefaultDS();
    QTemporaryDir out;
    const QString scanned = out.filePath(QStringLiteral("scan.bmp"));
    const bool ok = gd::TWAcquireToFile(&window, scanned);
    gd::TWCloseDSM();
    qApp->removeEventFilter(&hook);
    if (!ok) {
        state.SkipWithError("no scan");
        return;
    }
    const QString file = out.filePath(QStringLiteral("page.bmp"));
    for (auto _ : state) {
        state.PauseTiming();
        QFile::copy(scanned, file);
        state.ResumeTiming();
        std::unique_ptr<gd::TImagePage> page = gd::TImagePage::CreateFromFile(file);
        gd::TGPBitmap* b = page->GetBitmap();
        if (!b || b->ToQImage().isNull())
            state.SkipWithError("no image");
        state.PauseTiming();
        page.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OpenScannedA4Gray300Page)->Unit(benchmark::kMillisecond)->Iterations(5);

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
