// The page organiser's costs: an exact quarter turn of an A4 300 dpi 1-bit
// page (against Qt's own transform of the same page), moving one page in a
// 10,000-page list, thumbnails per second for a G4 document (its path in
// GD_BENCH_DOC; bench/organiser-bench builds the 500-page one), and the
// thumbnail panel on it: first screen, scrolling, the GUI thread's longest
// busy stretch, memory.
//
//   organiser_bench [--benchmark_repetitions=N ...]

#include "document/Loading.h"
#include "document/PageRotate.h"
#include "document/Thumbnails.h"
#include "ui/ThumbnailPanel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTimer>
#include <QTransform>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <map>
#include <set>

using namespace gd;

namespace {

// A4 at 300 dpi, 1-bit: `ink` percent of 4 by 4 cells black (7 is text-like,
// as bench/document-bench draws; 50 is noise, where no block is blank).
QImage A4Bilevel(int ink) {
    QImage page(2480, 3508, QImage::Format_Mono);
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    page.fill(0);
    QRandomGenerator random(7);
    for (int y = 0; y < page.height(); y += 4)
        for (int x = 0; x < page.width(); x += 4)
            if (int(random.bounded(100)) < ink)
                for (int dy = 0; dy < 4 && y + dy < page.height(); ++dy)
                    for (int dx = 0; dx < 4; ++dx)
                        page.setPixel(x + dx, y + dy, 1);
    return page;
}

void BM_RotateA4Bilevel(benchmark::State& state) {
    const QImage page = A4Bilevel(int(state.range(1)));
    const TRotation turn = TRotation(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(RotateImage(page, turn).constBits());
}
BENCHMARK(BM_RotateA4Bilevel)
    ->ArgNames({"turn", "ink"})
    ->Args({int(TRotation::Right), 7})
    ->Args({int(TRotation::Left), 7})
    ->Args({int(TRotation::Half), 7})
    ->Args({int(TRotation::Right), 50})
    ->Unit(benchmark::kMillisecond);

// The peer: Qt's transform of the same page (its result is not 1-bit).
void BM_QtTransformA4Bilevel(benchmark::State& state) {
    const QImage page = A4Bilevel(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(page.transformed(QTransform().rotate(90)).constBits());
}
BENCHMARK(BM_QtTransformA4Bilevel)->ArgName("ink")->Arg(7)->Unit(benchmark::kMillisecond);

void BM_RotateA4Gray8(benchmark::State& state) {
    const QImage page = A4Bilevel(7).convertToFormat(QImage::Format_Grayscale8);
    for (auto _ : state)
        benchmark::DoNotOptimize(RotateImage(page, TRotation::Right).constBits());
}
BENCHMARK(BM_RotateA4Gray8)->Unit(benchmark::kMillisecond);

void BM_MoveOnePage(benchmark::State& state) {
    TImagePages pages;
    const QImage tiny(1, 1, QImage::Format_Mono);
    for (int i = 0; i < state.range(0); ++i)
        pages.Add(TImagePage::CreateFromBitmap(TGPBitmap::FromQImage(tiny)));
    bool there = false;
    for (auto _ : state) {
        // The first page to the end and back: the longest move there is.
        benchmark::DoNotOptimize(there ? pages.MovePages({pages.Count() - 1}, 0)
                                       : pages.MovePages({0}, pages.Count()));
        there = !there;
    }
}
BENCHMARK(BM_MoveOnePage)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_Thumbnails(benchmark::State& state) {
    const QString doc = qEnvironmentVariable("GD_BENCH_DOC");
    auto file = TGPBitmap::FromFile(doc);
    const int pages = file->GetFrameCount();
    if (pages == 0) {
        state.SkipWithError("GD_BENCH_DOC names no document");
        return;
    }
    qint64 peakCache = 0;
    double firstScreen = 0; // ms until the first ten pages (a panel's screen) arrived
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        TThumbnailLoader loader;
        int arrived = 0;
        QObject::connect(&loader, &TThumbnailLoader::ThumbnailReady, [&](int, const QImage&) {
            if (++arrived == 10)
                firstScreen += clock.nsecsElapsed() / 1e6;
            peakCache = std::max(peakCache, loader.CacheBytes());
        });
        for (int p = 0; p < pages; ++p)
            loader.Request(p, {doc, p, {}});
        while (arrived < pages)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    state.SetItemsProcessed(state.iterations() * pages);
    state.counters["pages"] = pages;
    state.counters["cache_MB"] = double(peakCache) / (1024 * 1024);
    state.counters["first10_ms"] = firstScreen / double(state.iterations());
}
BENCHMARK(BM_Thumbnails)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// ---- the panel ----------------------------------------------------------------

// Watches a panel's viewport as it paints: when each row became visible and
// when its thumbnail was first painted; the cache's peak; and the longest
// gap between beats of a 1 ms heartbeat timer on the GUI thread (how long
// the event loop could not turn).
class TPanelWatch : public QObject {
public:
    explicit TPanelWatch(TThumbnailPanel& panel) : FPanel(panel) {
        FClock.start();
        panel.View()->viewport()->installEventFilter(this);
        FBeat.setTimerType(Qt::PreciseTimer);
        FBeat.setInterval(1);
        connect(&FBeat, &QTimer::timeout, this, [this] {
            const qint64 now = Now();
            if (FLastBeat >= 0)
                longestGap = std::max(longestGap, now - FLastBeat);
            FLastBeat = now;
        });
        FBeat.start();
    }
    void ResetGap() {
        longestGap = 0;
        FLastBeat = -1;
    }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            Look();
        return false;
    }
    // Waits for a paint and then until every row shown has its thumbnail
    // painted.
    void WaitScreen() {
        FPanel.View()->viewport()->update();
        const int mark = FPaints;
        while (FPaints == mark || !ScreenDone())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    bool ScreenDone() const { return FSince.empty() && !FShown.empty(); }
    double Ms(qint64 ns) const { return double(ns) / 1e6; }
    qint64 Now() const { return FClock.nsecsElapsed(); }

    std::vector<double> latencies; // ms from becoming visible to painted
    int missed = 0;                // scrolled away before being painted
    qint64 longestGap = 0;
    qint64 peakCache = 0;

private:
    void Look() {
        ++FPaints;
        const qint64 now = Now();
        QListView* view = FPanel.View();
        const int count = FPanel.PageCount();
        std::set<int> shown;
        const QRect area = view->viewport()->rect();
        const QModelIndex top = view->indexAt(QPoint(area.center().x(), 0));
        for (int row = top.isValid() ? top.row() : 0; row < count; ++row) {
            if (!area.intersects(view->visualRect(view->model()->index(row, 0))))
                break;
            shown.insert(row);
        }
        for (auto it = FSince.begin(); it != FSince.end();)
            if (!shown.count(it->first)) {
                ++missed;
                it = FSince.erase(it);
            } else {
                ++it;
            }
        for (int row : shown) {
            if (!FShown.count(row) && !FPainted.count(row))
                FSince[row] = now;
            if (FSince.count(row) && !FPanel.Loader().Cached(row).isNull()) {
                latencies.push_back(Ms(now - FSince[row]));
                FSince.erase(row);
                FPainted.insert(row);
            }
        }
        FShown = shown;
        peakCache = std::max(peakCache, FPanel.Loader().CacheBytes());
    }

    TThumbnailPanel& FPanel;
    QElapsedTimer FClock;
    QTimer FBeat;
    qint64 FLastBeat = -1;
    int FPaints = 0;
    std::set<int> FShown, FPainted;
    std::map<int, qint64> FSince;
};

double Percentile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(q * double(v.size() - 1))];
}

qint64 StatusKb(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// The panel as the window would show it, on the document opened as SHOW
// opens it; `count` rows cycle through its pages.
struct TPanelRig {
    TImagePages pages;
    TThumbnailPanel panel;
    bool ok = false;
    TPanelRig() {
        OpenDocument(pages, qEnvironmentVariable("GD_BENCH_DOC"));
        ok = pages.Count() > 0;
        panel.resize(220, 900);
        panel.show();
        QCoreApplication::processEvents();
    }
    void Start(int count) {
        const int n = pages.Count();
        panel.SetDocument(count, [this, n](int p) { return ThumbSourceOf(pages, p % n); });
    }
};

// From the document given to the panel to every thumbnail of its first
// screen painted; then scrolling from the first page to the last at
// `rows` rows a second.
void BM_PanelScroll(benchmark::State& state) {
    double firstScreen = 0, p50 = 0, p95 = 0, worst = 0, gap = 0;
    int missed = 0;
    for (auto _ : state) {
        auto rig = std::make_unique<TPanelRig>();
        if (!rig->ok) {
            state.SkipWithError("GD_BENCH_DOC names no document");
            return;
        }
        TPanelWatch watch(rig->panel);
        const qint64 t0 = watch.Now();
        rig->Start(rig->pages.Count());
        watch.WaitScreen();
        firstScreen += watch.Ms(watch.Now() - t0);

        QScrollBar* bar = rig->panel.View()->verticalScrollBar();
        const double rowHeight = double(bar->maximum() + bar->pageStep()) / rig->pages.Count();
        const double perTick = rowHeight * double(state.range(0)) * 0.016;
        double position = 0;
        QTimer tick;
        tick.setInterval(16);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            position += perTick;
            bar->setValue(int(position));
            if (bar->value() >= bar->maximum())
                tick.stop();
        });
        watch.ResetGap();
        tick.start();
        while (tick.isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        watch.WaitScreen();
        p50 += Percentile(watch.latencies, 0.5);
        p95 += Percentile(watch.latencies, 0.95);
        worst += Percentile(watch.latencies, 1.0);
        gap += watch.Ms(watch.longestGap);
        missed += watch.missed;
    }
    const double n = double(state.iterations());
    state.counters["first_screen_ms"] = firstScreen / n;
    state.counters["latency_p50_ms"] = p50 / n;
    state.counters["latency_p95_ms"] = p95 / n;
    state.counters["latency_max_ms"] = worst / n;
    state.counters["gui_gap_max_ms"] = gap / n;
    state.counters["missed"] = missed / n;
}
BENCHMARK(BM_PanelScroll)
    ->ArgName("rows_per_s")
    ->Arg(20)
    ->Arg(60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// The peer for the GUI thread's gaps: the same heartbeat on an idle event
// loop in the same run, as long as the 60 rows/s scroll. What it shows is
// the machine's share of the panel's figure.
void BM_IdleLoopGap(benchmark::State& state) {
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        qint64 last = -1, longest = 0;
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (last >= 0)
                longest = std::max(longest, now - last);
            last = now;
        });
        beat.start();
        while (clock.elapsed() < 8300)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.counters["gui_gap_max_ms"] = double(longest) / 1e6;
    }
}
BENCHMARK(BM_IdleLoopGap)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Thumbnail memory: screen after screen to the end (every few screens for
// long documents, enough for the cache to fill and evict).
void BM_PanelMemory(benchmark::State& state) {
    const int count = int(state.range(0));
    for (auto _ : state) {
        const qint64 rssBefore = StatusKb("VmRSS:");
        qint64 peakRss = rssBefore;
        auto rig = std::make_unique<TPanelRig>();
        if (!rig->ok) {
            state.SkipWithError("GD_BENCH_DOC names no document");
            return;
        }
        TPanelWatch watch(rig->panel);
        rig->Start(count);
        watch.WaitScreen();
        QScrollBar* bar = rig->panel.View()->verticalScrollBar();
        const int perScreen = int(watch.latencies.size());
        const int screens = count / std::max(1, perScreen);
        const int stride = std::max(1, screens * perScreen / 3000);
        int decoded = perScreen;
        for (int v = bar->pageStep() * stride; v <= bar->maximum() + bar->pageStep() * stride - 1;
             v += bar->pageStep() * stride) {
            bar->setValue(std::min(v, bar->maximum()));
            watch.WaitScreen();
            peakRss = std::max(peakRss, StatusKb("VmRSS:"));
            decoded += perScreen;
        }
        state.counters["decoded"] = decoded;
        state.counters["cache_peak_MB"] = double(watch.peakCache) / (1024 * 1024);
        // The process's resident memory grew by this much at most while the
        // panel walked the document (thumbnails, decoders, bookkeeping).
        state.counters["rss_growth_MB"] = double(peakRss - rssBefore) / 1024;
    }
}
BENCHMARK(BM_PanelMemory)
    ->ArgName("pages")
    ->Arg(500)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv); // thumbnails arrive through its event loop
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
