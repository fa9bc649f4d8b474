// Saves a changed document as multi-page TIFF, the way the editor does
// (decode every page, encode, write beside, rename, reopen). Run under
// /usr/bin/time by bench/save-bench for wall time and peak memory.
//
//   save_bench <document.tif> <output folder> [threads] [reencode]
// "reencode" decodes and encodes every page, G4 frames included.

#include "document/Loading.h"
#include "document/Saving.h"

#include <QDir>
#include <QElapsedTimer>
#include <QString>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: save_bench <document.tif> <output folder> [threads]\n");
        return 2;
    }
    const QString input = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(out);
    gd::TImagePages pages;
    gd::OpenDocument(pages, input);
    pages.SetModified(true);
    gd::TSaveOptions options;
    options.keepOriginal = true;
    options.jpegQuality = 60;
    options.threads = argc > 3 ? std::atoi(argv[3]) : 0;
    options.copyCompressed = !(argc > 4 && qstrcmp(argv[4], "reencode") == 0);
    QElapsedTimer t;
    t.start();
    try {
        gd::SaveDocument(pages, out + QStringLiteral("/bench.tif"), options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%d pages saved in %lld ms\n", pages.Count(), qint64(t.elapsed()));
    return pages.Count() > 0 ? 0 : 1;
}
