// From a SHOW request to the page painted, and page-to-page navigation, in the
// real window on the offscreen platform.
//   display_bench [FOLDER]   (FOLDER keeps the generated documents between runs)
#include "document/Thumbnails.h"
#include "scanning/Scanners.h"
#include "server/DocServer.h"
#include "server/Startup.h"
#include "settings/Settings.h"
#include "support/WindowAccess.h"
#include "ui/ImageBox.h"
#include "ui/ThumbnailPanel.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

bool Tool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(600000) && p.exitCode() == 0;
}

// A4 at 300 dpi, G4, 500 pages; and one A4 page at 600 dpi in colour, LZW.
bool MakeDocuments(const QString& docs) {
    const QString g4 = docs + "/G4500.tif", colour = docs + "/COLOUR.tif";
    if (!QFile::exists(g4)) {
        const QString page = docs + "/page.tif";
        // A page of text: 60 lines across the sheet.
        QStringList draw{"-size", "2480x3508", "xc:white", "-fill", "black", "-pointsize", "36"};
        for (int line = 0; line < 60; ++line)
            draw << "-draw"
                 << QStringLiteral("text 200,%1 'Line %2: the quick brown fox jumps over the lazy "
                                   "dog, 0123456789 ABCDEFGHIJ'")
                        .arg(250 + line * 50)
                        .arg(line + 1);
        draw << "-monochrome"
             << "-compress"
             << "Group4"
             << "-density"
             << "300" << page;
        if (!Tool("convert-im6.q16", draw))
            return false;
        QStringList args{"-c", "g4"};
        for (int i = 0; i < 500; ++i)
            args << page;
        args << g4;
        if (!Tool("tiffcp", args))
            return false;
        QFile::remove(page);
    }
    if (!QFile::exists(colour) &&
        !Tool("convert-im6.q16", {"-size", "4960x7016", "plasma:steelblue-orange", "-depth", "8",
                                  "-compress", "LZW", "-density", "600", colour}))
        return false;
    return true;
}

// Ends the request held before (the view empties) and appends a new one.
void Ask(gd::TfrmMain& w, const QString& ctl, const QByteArray& command) {
    static int n = 0;
    w.Server()->SetServerActive(true);
    QFile f(ctl);
    f.open(QIODevice::Append);
    f.write('>' + QByteArray::number(++n).rightJustified(34, '0') + command + "\r\n");
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The pages whose thumbnail box is in the panel's viewport.
std::vector<int> VisiblePages(gd::TThumbnailPanel& panel) {
    std::vector<int> pages;
    const QRect area = panel.View()->viewport()->rect();
    for (int p = 0; p < panel.PageCount(); ++p)
        if (panel.ThumbnailRect(p).intersects(area))
            pages.push_back(p);
    return pages;
}

// Runs the event loop until every visible thumbnail has arrived, then paints
// the panel; false (and a message) after 10 s.
bool PaintVisibleThumbnails(gd::TThumbnailPanel& panel) {
    QElapsedTimer limit;
    limit.start();
    for (;;) {
        const std::vector<int> pages = VisiblePages(panel);
        if (!pages.empty() && std::all_of(pages.begin(), pages.end(), [&](int p) {
                return !panel.Loader().Cached(p).isNull();
            }))
            break;
        if (limit.elapsed() > 10000) {
            std::fprintf(stderr, "thumbnails did not arrive\n");
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    panel.View()->viewport()->repaint();
    return true;
}

long PeakKiB() {
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    const QString docs = root + "/docs";
    QDir().mkpath(docs);
    std::printf("preparing documents in %s\n", qPrintable(docs));
    if (!MakeDocuments(docs)) {
        std::fprintf(stderr, "could not make the documents\n");
        return 1;
    }
    // The Source Manager built here, over a SANE configuration without
    // devices, so start-up does not probe the system's scanners.
    gd::TWSetDSMLibraryPath(QStringLiteral(GD_DSM_LIB));
    QDir().mkpath(root + "/sane");
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(root + "/sane"));
    const QString ctl = root + "/bench.ctl";
    gd::TSettings settings(root + "/gdserver.ini");
    gd::TInstanceLock lock("/BENCH/" + root, root);
    gd::TfrmMain w(settings, lock, {docs, ctl});
    QFile::remove(ctl);
    QFile(ctl).open(QIODevice::WriteOnly);
    if (!w.FormCreate())
        return 1;
    gd::TfrmMainTestAccess x(w);
    w.show();
    QApplication::processEvents();

    for (bool fit : {true, false}) {
        w.SetFitInWindow(fit);
        for (const char* doc : {"G4500", "COLOUR"}) {
            std::vector<double> ms;
            for (int run = 0; run < 5; ++run) {
                Ask(w, ctl, QByteArray("SHOW=") + doc);
                QElapsedTimer t;
                t.start();
                w.Server()->ExecuteCommands();
                x.ImageBox->repaint();
                ms.push_back(t.nsecsElapsed() / 1e6);
            }
            std::printf("SHOW %-6s to first paint (%s): median %.1f ms\n", doc,
                        fit ? "fit in window" : "natural size", Median(ms));
        }
        // Navigation through the 500-page document.
        Ask(w, ctl, "SHOW=G4500");
        w.Server()->ExecuteCommands();
        std::vector<double> ms;
        for (int i = 0; i < 60; ++i) {
            QElapsedTimer t;
            t.start();
            x.A.ActionPageNext->trigger();
            x.ImageBox->repaint();
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        std::printf("next page on the 500-page G4 document (%s): median %.1f ms, worst %.1f ms\n",
                    fit ? "fit in window" : "natural size", Median(ms),
                    *std::max_element(ms.begin(), ms.end()));
    }
    // The organiser's panel beside the page: SHOW to the page and the first
    // screen of thumbnails painted, then the panel scrolled from page 1 to the
    // last, each screen painted once its thumbnails arrived.
    w.SetFitInWindow(true);
    if (!x.A.ActionThumbnails->isChecked())
        x.A.ActionThumbnails->trigger(); // F9
    std::vector<double> first;
    for (int run = 0; run < 5; ++run) {
        Ask(w, ctl, "SHOW=G4500");
        QElapsedTimer t;
        t.start();
        w.Server()->ExecuteCommands();
        x.ImageBox->repaint();
        if (!PaintVisibleThumbnails(*x.Thumbnails))
            return 1;
        first.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("SHOW G4500 with the panel: page and first screen of thumbnails painted, median "
                "%.1f ms\n",
                Median(first));
    QScrollBar* bar = x.Thumbnails->View()->verticalScrollBar();
    std::vector<double> screens;
    QElapsedTimer all;
    all.start();
    for (int value = bar->minimum(); value <= bar->maximum(); value += bar->pageStep()) {
        bar->setValue(value);
        QElapsedTimer t;
        t.start();
        if (!PaintVisibleThumbnails(*x.Thumbnails))
            return 1;
        screens.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("panel scrolled page by page to the end: %zu screens in %.1f s, each painted after "
                "median %.1f ms, worst %.1f ms; thumbnail cache %.1f MB\n",
                screens.size(), all.elapsed() / 1e3, Median(screens),
                *std::max_element(screens.begin(), screens.end()),
                x.Thumbnails->Loader().CacheBytes() / 1048576.0);
    std::printf("peak memory of the process: %.1f MB\n", PeakKiB() / 1024.0);
    w.Server()->SetServerActive(true);
    return 0;
}
