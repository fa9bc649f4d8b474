// gddocbench FILE [PAGE ...]: opens FILE, then decodes each PAGE in turn
// (page 0 when none is named) and fits it into 1000 x 1000 as the window
// does, printing one line per step with its milliseconds.
//
// "all" as the only PAGE decodes every page in order and prints one summary.

#include "common/Exception.h"
#include "document/GdipExt.h"

#include <QElapsedTimer>
#include <cstdio>

using namespace gd;

int main(int argc, char** argv) {
    // No application object: Qt finds its codec plugins without one, and a
    // process that only reads TIFF should not pay for it.
    if (argc < 2) {
        std::fprintf(stderr, "usage: gddocbench FILE [PAGE ...|all]\n");
        return 2;
    }
    QElapsedTimer total;
    total.start();
    QElapsedTimer t;
    t.start();
    auto bitmap = TGPBitmapExt::FromFile(QString::fromLocal8Bit(argv[1]));
    const int frames = GetFrameCount(*bitmap);
    std::printf("open: %d frames, %.2f ms\n", frames, t.nsecsElapsed() / 1e6);
    if (frames == 0)
        return 1;
    auto page = [&](int i, bool print) {
        QElapsedTimer s;
        s.start();
        SelectFrame(*bitmap, i);
        const QImage img = bitmap->ToQImage();
        const double decoded = s.nsecsElapsed() / 1e6;
        s.restart();
        const QImage fit = FitImage(img, QSize(1000, 1000));
        const double fitted = s.nsecsElapsed() / 1e6;
        if (print)
            std::printf("page %d: %dx%d decode %.2f ms, fit to %dx%d %.2f ms\n", i, img.width(),
                        img.height(), decoded, fit.width(), fit.height(), fitted);
        return !img.isNull();
    };
    try {
        if (argc == 3 && QByteArray(argv[2]) == "all") {
            t.restart();
            int bad = 0;
            for (int i = 0; i < frames; ++i) {
                SelectFrame(*bitmap, i);
                bad += bitmap->ToQImage().isNull() ? 1 : 0;
            }
            std::printf("all %d pages decoded: %.2f ms (%d failed)\n", frames,
                        t.nsecsElapsed() / 1e6, bad);
        } else if (argc == 2) {
            page(0, true);
        } else {
            for (int a = 2; a < argc; ++a)
                page(QByteArray(argv[a]).toInt(), true);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("total: %.2f ms\n", total.nsecsElapsed() / 1e6);
    return 0;
}
