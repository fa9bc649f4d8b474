// The page area: zoom through the widget, Ctrl+wheel around the mouse, page
// keys, the reduced picture kept per size, the silver margins.

#include "ui/PageArea.h"
#include "ui/ImageBox.h"
#include "ui/ZoomMath.h"

#include <QApplication>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <functional>
#include <gtest/gtest.h>

using namespace gd;

namespace {

const QColor kSilver(0xC0, 0xC0, 0xC0);

// An 800 x 1000 page in a 400 x 300 viewport, shown.
class PageArea : public ::testing::Test {
protected:
    void SetUp() override {
        area.resize(400 + 2 * area.frameWidth(), 300 + 2 * area.frameWidth());
        area.show();
        Show(Page(800, 1000));
    }
    static QImage Page(int w, int h) {
        QImage page(w, h, QImage::Format_RGB32);
        page.fill(Qt::white);
        return page;
    }
    void Show(const QImage& page) {
        Box().SetPicture(page);
        QApplication::processEvents();
    }
    TImageBox& Box() { return *area.ImageBox(); }
    QSize Drawn() { return Box().DrawRect().size(); }
    // The image pixel under a viewport position.
    QPointF ImagePointAt(QPointF at) {
        const QRect r = Box().DrawRect();
        const QPointF origin = Box().mapTo(area.viewport(), r.topLeft());
        return QPointF((at.x() - origin.x()) * Box().Picture().width() / r.width(),
                       (at.y() - origin.y()) * Box().Picture().height() / r.height());
    }
    void Wheel(QPointF at, int angle, Qt::KeyboardModifiers modifiers) {
        QWheelEvent e(at, area.viewport()->mapToGlobal(at), QPoint(), QPoint(0, angle),
                      Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(area.viewport(), &e);
        QApplication::processEvents();
    }
    QImage Seen() { return area.viewport()->grab().toImage(); }

    TPageArea area;
};

TEST_F(PageArea, ZoomStepsThroughTheWidget) {
    using Step = std::function<void(TPageArea&)>;
    const Step fit = [](TPageArea& a) { a.SetFitInWindow(true); };
    const Step in = &TPageArea::ZoomIn, out = &TPageArea::ZoomOut;
    const Step actual = &TPageArea::ActualSize;
    const Step at = [](TPageArea&a) { a.SetZoom(800); },
               bottom = [](TPageArea&a) { a.SetZoom(10); };
    const Step unfit = [](TPageArea& a) { a.SetFitInWindow(false); };
    const Step twoHundred = [](TPageArea& a) { a.SetZoom(200); };
    const struct Case {
        const char* what;
        std::vector<Step> steps;
        double zoom;
        QSize drawn;
    } cases[] = {
        {"starts at natural size", {}, 100, {800, 1000}},
        {"in from 100", {actual, in}, 125, {1000, 1250}},
        {"out from 100", {actual, out}, 75, {600, 750}},
        {"fitted: the height limits", {fit}, 30, {240, 300}},
        {"in from the fit: the step beyond it", {fit, in}, 33, {264, 330}},
        {"out from the fit", {fit, out}, 25, {200, 250}},
        {"actual size from the fit", {fit, actual}, 100, {800, 1000}},
        {"at the top", {at, in}, 800, {6400, 8000}},
        {"at the bottom", {bottom, out}, 10, {80, 100}},
        {"fit off returns to the last percentage", {twoHundred, fit, unfit}, 200, {1600, 2000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TPageArea fresh;
        fresh.resize(area.size());
        fresh.show();
        fresh.ImageBox()->SetPicture(Box().Picture());
        QSignalSpy zoomed(&fresh, &TPageArea::ZoomChanged);
        for (const Step& s : c.steps)
            s(fresh);
        QApplication::processEvents();
        EXPECT_DOUBLE_EQ(fresh.Zoom(), c.zoom);
        EXPECT_EQ(fresh.ImageBox()->DrawRect().size(), c.drawn);
        EXPECT_EQ(fresh.FitInWindow(), fresh.ZoomMode() == TZoomMode::FitInWindow);
        if (!c.steps.empty()) {
            ASSERT_FALSE(zoomed.isEmpty());
            EXPECT_DOUBLE_EQ(zoomed.last().at(0).toDouble(), c.zoom);
        }
    }
}

TEST_F(PageArea, FitWidthFillsTheViewportBesideTheScrollBar) {
    area.SetFitWidth();
    QApplication::processEvents();
    EXPECT_TRUE(area.verticalScrollBar()->isVisible()); // the page is taller than the area
    EXPECT_FALSE(area.horizontalScrollBar()->isVisible());
    EXPECT_EQ(Drawn().width(), area.viewport()->width());
    EXPECT_NEAR(area.Zoom(), 100.0 * area.viewport()->width() / 800, 1e-9);

    // It follows the area's width, and a wide page that fits in height needs
    // no scroll bar beside it.
    area.resize(area.width() + 100, area.height());
    QApplication::processEvents();
    EXPECT_EQ(Drawn().width(), area.viewport()->width());
    Show(Page(2000, 100));
    EXPECT_FALSE(area.verticalScrollBar()->isVisible());
    EXPECT_EQ(Drawn().width(), area.viewport()->width());
}

TEST_F(PageArea, CtrlWheelKeepsTheImagePointUnderTheMouse) {
    const struct Case {
        const char* what;
        double start; // 0: fitted
        QPoint scroll;
        QPointF mouse;
        std::vector<int> angles;
        double zoom;
    } cases[] = {
        {"from the fit, three notches at once", 0, {}, {150, 120}, {360}, 67},
        {"two notches in", 100, {200, 350}, {300, 200}, {120, 120}, 150},
        {"one notch out", 200, {700, 800}, {50, 250}, {-120}, 150},
        {"a touchpad's small deltas add up", 100, {200, 350}, {100, 100}, {60, 30, 30}, 125},
        {"a page smaller than the area, at its corner", 25, {}, {50, 60}, {360}, 67},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.start == 0)
            area.SetFitInWindow(true);
        else
            area.SetZoom(c.start);
        QApplication::processEvents();
        area.horizontalScrollBar()->setValue(c.scroll.x());
        area.verticalScrollBar()->setValue(c.scroll.y());
        const QPointF before = ImagePointAt(c.mouse);
        for (int angle : c.angles)
            Wheel(c.mouse, angle, Qt::ControlModifier);
        EXPECT_DOUBLE_EQ(area.Zoom(), c.zoom);
        // Within a screen pixel or two of rounding.
        const double slack = 2 * 100 / std::min(area.Zoom(), c.start == 0 ? 30 : c.start);
        const QPointF after = ImagePointAt(c.mouse);
        EXPECT_NEAR(after.x(), before.x(), slack);
        EXPECT_NEAR(after.y(), before.y(), slack);
    }

    // Without Ctrl the wheel scrolls and leaves the zoom alone.
    area.SetZoom(100);
    area.verticalScrollBar()->setValue(0);
    Wheel({100, 100}, -120, Qt::NoModifier);
    EXPECT_EQ(area.Zoom(), 100);
    EXPECT_GT(area.verticalScrollBar()->value(), 0);
}

TEST_F(PageArea, PageKeysAskForNavigation) {
    const struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        void (TPageArea::*signal)();
    } cases[] = {
        {Qt::Key_PageUp, Qt::NoModifier, &TPageArea::PriorPage},
        {Qt::Key_PageDown, Qt::NoModifier, &TPageArea::NextPage},
        {Qt::Key_Home, Qt::NoModifier, &TPageArea::FirstPage},
        {Qt::Key_End, Qt::NoModifier, &TPageArea::LastPage},
        {Qt::Key_End, Qt::ControlModifier, nullptr}, // not a page key
        {Qt::Key_Down, Qt::NoModifier, nullptr},
    };
    void (TPageArea::*all[])() = {&TPageArea::PriorPage, &TPageArea::NextPage,
                                  &TPageArea::FirstPage, &TPageArea::LastPage};
    for (const Case& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (auto signal : all)
            spies.push_back(std::make_unique<QSignalSpy>(&area, signal));
        QTest::keyClick(&area, c.key, c.modifiers);
        for (size_t i = 0; i < spies.size(); ++i)
            EXPECT_EQ(spies[i]->count(), all[i] == c.signal ? 1 : 0) << i;
    }
}

TEST_F(PageArea, OneReducedPicturePerSizeAveragedFromTheBits) {
    // A 1-bit checkerboard fitted at a quarter: averaged, every reduced pixel
    // is mid-gray.
    QImage page(1200, 1200, QImage::Format_Mono);
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            page.setPixel(x, y, (x + y) % 2);
    Show(page);
    area.SetFitInWindow(true);
    Seen();
    const qint64 key = Box().ReducedPicture().cacheKey();
    EXPECT_EQ(Box().ReducedPicture().size(), Drawn());
    Box().update();
    const QImage seen = Seen();
    EXPECT_EQ(Box().ReducedPicture().cacheKey(), key); // repainted, not rescaled
    const QColor mid = seen.pixelColor(Box().mapTo(area.viewport(), Box().DrawRect().center()));
    EXPECT_NEAR(mid.red(), 128, 2);

    area.SetZoom(50);
    Seen();
    EXPECT_NE(Box().ReducedPicture().cacheKey(), key);
    EXPECT_EQ(Box().ReducedPicture().size(), QSize(600, 600));

    // Enlarged, each image pixel covers two by two screen pixels.
    area.SetZoom(200);
    area.horizontalScrollBar()->setValue(0);
    area.verticalScrollBar()->setValue(0);
    const QImage big = Seen();
    for (const QPoint p : {QPoint(10, 10), QPoint(11, 11), QPoint(12, 12)})
        EXPECT_EQ(big.pixelColor(p), QColor(Qt::white)) << p.x() << "," << p.y();
    for (const QPoint p : {QPoint(12, 11), QPoint(13, 10), QPoint(10, 12)})
        EXPECT_EQ(big.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
}

TEST_F(PageArea, MarginsAreSilverInEveryMode) {
    Show(Page(40, 200)); // narrower and shorter than the area at 100 %
    for (const TZoomMode mode : {TZoomMode::FitInWindow, TZoomMode::Percent}) {
        area.SetFitInWindow(mode == TZoomMode::FitInWindow);
        const QImage seen = Seen();
        SCOPED_TRACE(int(mode));
        EXPECT_EQ(seen.pixelColor(seen.width() - 2, seen.height() - 2), kSilver);
        EXPECT_EQ(seen.pixelColor(Box().mapTo(area.viewport(), Box().DrawRect().center())),
                  QColor(Qt::white));
    }
}

TEST_F(PageArea, APageSmallerThanTheAreaStartsAtItsTopLeftCornerUnlessFitted) {
    using Mode = std::function<void(TPageArea&)>;
    const struct Case {
        const char* what;
        Mode mode;
        QSize page;
        QPoint origin; // in the 400 x 300 viewport
    } cases[] = {
        {"100 %", &TPageArea::ActualSize, {40, 200}, {0, 0}},
        {"50 %", [](TPageArea& a) { a.SetZoom(50); }, {300, 200}, {0, 0}},
        {"fit width, a wide page", &TPageArea::SetFitWidth, {2000, 100}, {0, 0}},
        {"fitted: centred", [](TPageArea& a) { a.SetFitInWindow(true); }, {300, 200}, {50, 50}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Show(Page(c.page.width(), c.page.height()));
        c.mode(area);
        QApplication::processEvents();
        EXPECT_EQ(Box().mapTo(area.viewport(), Box().DrawRect().topLeft()), c.origin);
        const QImage seen = Seen();
        EXPECT_EQ(seen.pixelColor(c.origin + QPoint(1, 1)), QColor(Qt::white));
        EXPECT_EQ(seen.pixelColor(seen.width() - 2, seen.height() - 2), kSilver);
    }
}

// Run at the screen's scale and again with QT_SCALE_FACTOR=2 (tests/ui):
// 100 % shows each image pixel on exactly one device pixel.
TEST_F(PageArea, ActualSizeIsOneImagePixelPerDevicePixel) {
    const int scale = std::max(1, qEnvironmentVariableIntValue("QT_SCALE_FACTOR"));
    ASSERT_EQ(area.devicePixelRatioF(), scale);
    QImage page(64, 48, QImage::Format_Mono);
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            page.setPixel(x, y, (x * 7 + y * 3) % 5 == 0);
    Show(page);
    area.ActualSize();
    EXPECT_EQ(Drawn() * scale, page.size());
    const QImage seen = Seen();
    ASSERT_EQ(seen.size(), area.viewport()->size() * scale);
    const QPoint origin = Box().mapTo(area.viewport(), Box().DrawRect().topLeft()) * scale;
    int wrong = 0;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            wrong += seen.pixelColor(origin + QPoint(x, y)) != page.pixelColor(x, y);
    EXPECT_EQ(wrong, 0);
}

} // namespace
