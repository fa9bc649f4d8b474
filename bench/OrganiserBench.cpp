// The page organiser's costs: an exact quarter turn of an A4 300 dpi 1-bit
// page (against Qt's own transform of the same page), moving one page in a
// 10,000-page list, and thumbnails per second for a G4 document (its path in
// GD_BENCH_DOC; bench/organiser-bench builds the 500-page one).
//
//   organiser_bench [--benchmark_repetitions=N ...]

#include "document/PageRotate.h"
#include "document/Thumbnails.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTransform>
#include <benchmark/benchmark.h>

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // thumbnails arrive through its event loop
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
