// The command cycle's cost against the size of the control file, and the
// idle server's CPU use with 50 control files in its folder.
#include "server/DocServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>
#include <csignal>
#include <unistd.h>

namespace {

struct QuietHost : gd::IServerHost {
    void ShowError(const QString&) override {}
    void SetPathLine(const QString&) override {}
    void SetStateText(const QString&) override {}
    void SetCtlFileText(const QString&) override {}
    void SetSwitchChecked(bool) override {}
    void ProcessEvents() override {}
    void CloseMainWindow() override {}
};

void Write(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        std::abort();
}

// One cycle (take, execute, mark) over a file of N waiting TEST requests.
void BM_CycleOverWaitingLines(benchmark::State& state) {
    QTemporaryDir dir;
    const QString ctl = dir.filePath("client.ctl");
    QByteArray text;
    for (int i = 0; i < state.range(0); ++i)
        text += '>' + QByteArray::number(i).rightJustified(34, '0') + "TEST=\r\n";
    QuietHost host;
    gd::TDocServer server(host, {dir.path() + u'/', ctl, true},
                          [] { return QStringLiteral("tif"); });
    server.SetServerActive(true);
    for (auto _ : state) {
        state.PauseTiming();
        Write(ctl, text);
        state.ResumeTiming();
        server.ExecuteCommands();
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CycleOverWaitingLines)
    ->RangeMultiplier(10)
    ->Range(100, 10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

long CpuTicks(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command name (which may hold blanks) in parentheses.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLong() + fields.value(12).toLong(); // utime + stime
}

// The real program in folder mode with 50 idle control files.
void BM_IdleServerWith50ControlFiles(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString exe = dir.filePath("gdserver");
        QFile::copy(QStringLiteral(GD_SERVER_EXE), exe);
        QFile::setPermissions(exe, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        // The Source Manager library travels with the program.
        const QDir built(QFileInfo(QStringLiteral(GD_SERVER_EXE)).absolutePath());
        for (const QString& lib : built.entryList({QStringLiteral("*.so")}, QDir::Files))
            QFile::copy(built.filePath(lib), dir.filePath(lib));
        const QString docs = dir.filePath("docs");
        QDir().mkpath(docs);
        for (int i = 0; i < 50; ++i)
            Write(docs + QStringLiteral("/client%1.dde").arg(i),
                  '<' + QByteArray(34, 'x') + "TEST=\r\n#" + QByteArray(34, 'y') + "TEST\r\n");
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(exe, {docs});
        if (!p.waitForStarted(10000)) {
            state.SkipWithError("gdserver did not start");
            return;
        }
        QThread::sleep(3); // past the start-up
        const long before = CpuTicks(p.processId());
        QThread::sleep(static_cast<unsigned long>(seconds));
        const long after = CpuTicks(p.processId());
        if (p.state() != QProcess::Running) {
            state.SkipWithError(("gdserver ended: " + p.readAllStandardError()).constData());
            return;
        }
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        p.waitForFinished(10000);
        const double cpuSeconds = double(after - before) / double(::sysconf(_SC_CLK_TCK));
        state.counters["cpu_percent"] = 100.0 * cpuSeconds / seconds;
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_IdleServerWith50ControlFiles)
    ->Arg(20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
