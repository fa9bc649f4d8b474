// The zoom of the page view: steps, fit width, the scroll that keeps the
// point under the mouse, device pixel ratios.

#include "ui/ZoomMath.h"

#include <gtest/gtest.h>

using namespace gd;

TEST(Zoom, StepsFromAnyZoom) {
    struct Case {
        double zoom, next, previous;
    } cases[] = {
        {100, 125, 75},        {10, 15, 10},   {800, 800, 600},  {112.5, 125, 100}, // fitted
        {99.9999999, 125, 75}, {5, 10, 10},    {1000, 800, 800}, {33.3, 50, 25},
        {32.258, 33, 25},      {32.6, 50, 25},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NextZoomStep(c.zoom), c.next) << c.zoom;
        EXPECT_EQ(PreviousZoomStep(c.zoom), c.previous) << c.zoom;
    }
    // Stepping up from the bottom visits every step once and ends at the top.
    std::vector<double> walked{kMinZoom};
    while (walked.back() < kMaxZoom)
        walked.push_back(NextZoomStep(walked.back()));
    EXPECT_EQ(walked, ZoomSteps());
}

TEST(Zoom, OneImagePixelPerDevicePixelAtHundredPercent) {
    struct Case {
        QSize image;
        double zoom, dpr;
        QSize want;
    } cases[] = {
        {{2480, 3508}, 100, 1, {2480, 3508}},
        {{2480, 3508}, 100, 2, {1240, 1754}},
        {{2480, 3508}, 50, 1.5, {827, 1169}},
        {{2480, 3508}, 200, 2, {2480, 3508}},
        {{3, 1}, 10, 1, {1, 1}}, // never below one pixel
        {{0, 0}, 100, 1, {0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZoomedSize(c.image, c.zoom, c.dpr), c.want) << c.zoom << " " << c.dpr;
}

TEST(Zoom, FitWidthLeavesRoomForTheScrollBarOnlyWhenOneIsNeeded) {
    struct Case {
        QSize image, viewport;
        double dpr;
        double want;
        int width; // the zoomed picture's logical width
    } cases[] = {
        {{2480, 3508}, {800, 600}, 1, 100.0 * 785 / 2480, 785},  // taller: scroll bar
        {{2480, 3508}, {800, 2000}, 1, 100.0 * 800 / 2480, 800}, // fits in height
        {{2480, 3508}, {800, 600}, 2, 200.0 * 785 / 2480, 785},  // high-DPI screen
        {{4000, 1000}, {800, 600}, 1, 20, 800},                  // wide page
        {{40, 30}, {800, 600}, 1, kMaxZoom, 320},                // limited to the top step
        {{100000, 10}, {800, 600}, 1, kMinZoom, 10000},          // and the bottom one
        {{0, 0}, {800, 600}, 1, 100, 0},
    };
    for (const Case& c : cases) {
        const double z = FitWidthZoom(c.image, c.viewport, 15, c.dpr);
        EXPECT_DOUBLE_EQ(z, c.want) << c.image.width() << " " << c.viewport.height();
        EXPECT_EQ(ZoomedSize(c.image, z, c.dpr).width(), c.width);
    }
}

TEST(Zoom, ThePointUnderTheMouseStays) {
    struct Case {
        QPoint origin; // where the picture was drawn
        QPointF mouse;
        double from, to, dpr;
        QPoint want;
    } cases[] = {
        {{0, 0}, {0, 0}, 100, 200, 1, {0, 0}},
        {{-100, -200}, {250, 250}, 100, 200, 1, {450, 650}},
        {{-450, -650}, {250, 250}, 200, 100, 1, {100, 200}},   // and back
        {{-100, -200}, {250, 250}, 100, 50, 1, {0, 0}},        // picture as big as the viewport
        {{125, 125}, {250, 250}, 25, 100, 1, {250, 250}},      // from fitted: the centre stays
        {{125, 125}, {125, 125}, 25, 100, 1, {0, 0}},          // fitted picture's corner
        {{0, 0}, {125, 125}, 25, 100, 1, {375, 375}},          // a small picture at the corner
        {{-500, -500}, {500, 500}, 100, 200, 1, {1500, 1500}}, // the far corner, at the range's end
        {{0, 0}, {400, 100}, 100, 400, 1, {1200, 300}},
        {{0, 0}, {250, 250}, 100, 200, 4, {0, 0}}, // a quarter: still inside the viewport
        {{125, 125}, {250, 250}, 100, 400, 4, {250, 250}},
        {{-300, 0}, {0, 250}, 100, 800, 1, {2400, 1750}},
    };
    const QSize image(1000, 1000), viewport(500, 500);
    for (const Case& c : cases) {
        EXPECT_EQ(ScrollForZoomAt(image, viewport, c.origin, c.mouse, c.from, c.to, c.dpr), c.want)
            << c.from << "->" << c.to << " at " << c.mouse.x() << "," << c.mouse.y();
    }
}

TEST(Zoom, WheelDeltasAddUpToSteps) {
    struct Case {
        int delta, steps, pending;
    } sequence[] = {
        {120, 1, 0},   {-240, -2, 0}, {40, 0, 40}, {40, 0, 80},   {40, 1, 0},
        {-60, 0, -60}, {120, 0, 60},  {60, 1, 0},  {-360, -3, 0},
    };
    int pending = 0;
    for (const Case& c : sequence) {
        EXPECT_EQ(WheelZoomSteps(pending, c.delta), c.steps) << c.delta;
        EXPECT_EQ(pending, c.pending);
    }
}
