// The command cycle's cost against the size of the control file, the idle
// server's CPU use (50 control files; 100,000 documents; a 50 MB control
// file), gdclient's TEST= round trip and the latency of a request appended to
// a big control file. Benchmarks taking a "poll" argument run the real program
// twice: 0 on the change-notification path, 1 forced to polling
// (GDSERVER_POLL=1), the peer in the same run.
#include "server/DocServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct QuietHost : gd::IServerHost {
    void ShowError(const QString&) override {}
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

// The programs measured: the ones built here, or others named by
// GD_BENCH_SERVER and GD_BENCH_CLIENT (an earlier build, for a before/after).
QString ServerExe() {
    const QString other = qEnvironmentVariable("GD_BENCH_SERVER");
    return other.isEmpty() ? QStringLiteral(GD_SERVER_EXE) : other;
}
QString ClientExe() {
    const QString other = qEnvironmentVariable("GD_BENCH_CLIENT");
    return other.isEmpty() ? QStringLiteral(GD_CLIENT_EXE) : other;
}

// The real program in its own folder, started headless.
struct Program {
    QTemporaryDir Dir;
    QProcess Process;

    bool Start(const QStringList& args, bool poll) {
        const QString exe = Dir.filePath("gdserver");
        QFile::copy(ServerExe(), exe);
        QFile::setPermissions(exe, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        // The Source Manager library travels with the program.
        const QDir built(QFileInfo(ServerExe()).absolutePath());
        for (const QString& lib : built.entryList({QStringLiteral("*.so")}, QDir::Files))
            QFile::copy(built.filePath(lib), Dir.filePath(lib));
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (poll)
            env.insert("GDSERVER_POLL", "1");
        Process.setProcessEnvironment(env);
        Process.start(exe, args);
        return Process.waitForStarted(10000);
    }
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(Process.processId()), SIGTERM);
            Process.waitForFinished(10000);
        }
    }
    // CPU use in percent of a core over the given seconds; -1 when the
    // program ended meanwhile.
    double CpuPercent(int seconds) {
        const long before = CpuTicks(Process.processId());
        QThread::sleep(static_cast<unsigned long>(seconds));
        const long after = CpuTicks(Process.processId());
        if (Process.state() != QProcess::Running)
            return -1;
        return 100.0 * double(after - before) / double(::sysconf(_SC_CLK_TCK)) / seconds;
    }
};

double Quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size())))];
}

// One gdclient run: milliseconds from start to its end, or -1 when it failed.
double ClientRoundTrip(const QString& ctl, bool poll) {
    QProcess client;
    auto env = QProcessEnvironment::systemEnvironment();
    if (poll)
        env.insert("GDSERVER_POLL", "1");
    client.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    client.start(ClientExe(), {ctl, "TEST=", "--wait", "5"});
    if (!client.waitForFinished(10000) || client.exitCode() != 0)
        return -1;
    return double(clock.nsecsElapsed()) / 1e6;
}

// The real program in folder mode with 50 idle control files.
void BM_IdleServerWith50ControlFiles(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Program p;
        const QString docs = p.Dir.filePath("docs");
        QDir().mkpath(docs);
        for (int i = 0; i < 50; ++i)
            Write(docs + QStringLiteral("/client%1.dde").arg(i),
                  '<' + QByteArray(34, 'x') + "TEST=\r\n#" + QByteArray(34, 'y') + "TEST\r\n");
        if (!p.Start({docs}, state.range(1) != 0)) {
            state.SkipWithError("gdserver did not start");
            return;
        }
        QThread::sleep(3); // past the start-up
        const double cpu = p.CpuPercent(seconds);
        if (cpu < 0) {
            state.SkipWithError(
                ("gdserver ended: " + p.Process.readAllStandardError()).constData());
            return;
        }
        state.counters["cpu_percent"] = cpu;
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_IdleServerWith50ControlFiles)
    ->ArgNames({"seconds", "poll"})
    ->Args({20, 0})
    ->Args({20, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Folder mode, a folder of many documents and five idle control files.
void BM_IdleFolderOfDocuments(benchmark::State& state) {
    const int documents = static_cast<int>(state.range(0));
    constexpr int kSeconds = 20;
    for (auto _ : state) {
        Program p;
        const QByteArray docs = QFile::encodeName(p.Dir.filePath("docs"));
        QDir().mkpath(QFile::decodeName(docs));
        for (int i = 0; i < documents; ++i) {
            const QByteArray name =
                docs + "/A" + QByteArray::number(i).rightJustified(7, '0') + ".tif";
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
        }
        for (int i = 0; i < 5; ++i)
            Write(QFile::decodeName(docs) + QStringLiteral("/client%1.dde").arg(i),
                  '<' + QByteArray(34, 'x') + "TEST=\r\n");
        if (!p.Start({QFile::decodeName(docs)}, state.range(1) != 0)) {
            state.SkipWithError("gdserver did not start");
            return;
        }
        QThread::sleep(5); // past the start-up and the first listing
        const double cpu = p.CpuPercent(kSeconds);
        if (cpu < 0) {
            state.SkipWithError("gdserver ended");
            return;
        }
        state.counters["cpu_percent"] = cpu;
        state.SetIterationTime(kSeconds);
    }
}
BENCHMARK(BM_IdleFolderOfDocuments)
    ->ArgNames({"documents", "poll"})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({1000000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// gdclient 'TEST=' --wait 5 against a client-bound server, 30 runs in a row.
void BM_TestRoundTrip(benchmark::State& state) {
    const bool poll = state.range(0) != 0;
    for (auto _ : state) {
        Program p;
        const QString ctl = p.Dir.filePath("client.ctl");
        Write(ctl, "");
        QDir().mkpath(p.Dir.filePath("docs"));
        if (!p.Start({p.Dir.filePath("docs"), ctl}, poll) ||
            ClientRoundTrip(ctl, poll) < 0) { // the first one waits for the start-up
            state.SkipWithError("gdserver did not answer");
            return;
        }
        std::vector<double> ms;
        for (int i = 0; i < 30; ++i)
            ms.push_back(ClientRoundTrip(ctl, poll));
        if (*std::min_element(ms.begin(), ms.end()) < 0) {
            state.SkipWithError("a request failed");
            return;
        }
        state.counters["min_ms"] = *std::min_element(ms.begin(), ms.end());
        state.counters["median_ms"] = Quantile(ms, 0.5);
        state.counters["p90_ms"] = Quantile(ms, 0.9);
        state.SetIterationTime(Quantile(ms, 0.5) / 1000);
    }
}
BENCHMARK(BM_TestRoundTrip)
    ->ArgName("poll")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A control file whose requests are all done (an empty one, or 50 MB): idle
// CPU, then TEST= lines appended one at a time (one write, as a shell's ">>")
// and the time until each is marked, without the start of a client process.
void BM_AppendToMark(benchmark::State& state) {
    const qsizetype bytes = qsizetype(state.range(0)) << 20;
    const bool poll = state.range(1) != 0;
    constexpr int kSeconds = 10;
    for (auto _ : state) {
        Program p;
        const QString ctl = p.Dir.filePath("client.ctl");
        QByteArray text;
        text.reserve(bytes);
        for (int i = 0; text.size() < bytes; ++i)
            text += '<' + QByteArray::number(i).rightJustified(34, '0') + "TEST=\r\n";
        Write(ctl, text);
        QDir().mkpath(p.Dir.filePath("docs"));
        if (!p.Start({p.Dir.filePath("docs"), ctl}, poll)) {
            state.SkipWithError("gdserver did not start");
            return;
        }
        QThread::sleep(5);
        const double cpu = p.CpuPercent(kSeconds);
        std::vector<double> ms;
        const QByteArray file = QFile::encodeName(ctl);
        for (int i = 0; i < 10 && cpu >= 0; ++i) {
            const QByteArray line =
                '>' + QByteArray::number(i).rightJustified(34, 'n') + "TEST=\r\n";
            const int fd = ::open(file.constData(), O_RDWR | O_APPEND | O_CLOEXEC);
            const off_t at = ::lseek(fd, 0, SEEK_END);
            QElapsedTimer clock;
            clock.start();
            if (::write(fd, line.constData(), line.size()) != line.size())
                break;
            char mark = '>';
            while (mark != '<' && clock.elapsed() < 60000) {
                if (::pread(fd, &mark, 1, at) != 1)
                    break;
                if (mark != '<')
                    ::usleep(200);
            }
            ::close(fd);
            ms.push_back(mark == '<' ? double(clock.nsecsElapsed()) / 1e6 : -1);
            QThread::msleep(300);
        }
        if (cpu < 0 || ms.empty() || *std::min_element(ms.begin(), ms.end()) < 0) {
            state.SkipWithError("gdserver ended or did not mark");
            return;
        }
        state.counters["idle_cpu_percent"] = cpu;
        state.counters["mark_median_ms"] = Quantile(ms, 0.5);
        state.counters["mark_p90_ms"] = Quantile(ms, 0.9);
        state.SetIterationTime(kSeconds);
    }
}
BENCHMARK(BM_AppendToMark)
    ->ArgNames({"megabytes", "poll"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({50, 0})
    ->Args({50, 1})
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
