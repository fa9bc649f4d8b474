#include "printing/Fitting.h"

#include <gtest/gtest.h>

using gd::FitPage;
using gd::TPageFit;

namespace {
constexpr int PW = 4800, PH = 6600;
}

TEST(FitPage, SmallPagesAreEnlargedAlongTheirLongerSide) {
    EXPECT_EQ(FitPage(PW, PH, 100, 50), (TPageFit{4800, 2400}));
    // A square takes the width branch.
    EXPECT_EQ(FitPage(PW, PH, 1000, 1000), (TPageFit{4800, 4800}));
    // Enlarged to the full height first, then narrowed to the width.
    EXPECT_EQ(FitPage(PW, PH, 3000, 4000), (TPageFit{4800, 6400}));
    EXPECT_EQ(FitPage(PW, PH, 1000, 2000), (TPageFit{3300, 6600}));
}

TEST(FitPage, LargePagesAreReducedToTheArea) {
    EXPECT_EQ(FitPage(PW, PH, 9600, 13200), (TPageFit{4800, 6600}));
    EXPECT_EQ(FitPage(PW, PH, 48000, 100), (TPageFit{4800, 10}));
    EXPECT_EQ(FitPage(PW, PH, 100, 66000), (TPageFit{10, 6600}));
}

TEST(FitPage, APageAsWideAsTheAreaIsNotEnlarged) {
    EXPECT_EQ(FitPage(PW, PH, 4800, 100), (TPageFit{4800, 100}));
    EXPECT_EQ(FitPage(PW, PH, 100, 6600), (TPageFit{100, 6600}));
    EXPECT_EQ(FitPage(PW, PH, 4800, 6600), (TPageFit{4800, 6600}));
}

TEST(FitPage, WorksInSinglePrecisionAndTruncates) {
    // 4800 / (6/5) is 4000 exactly, but r = 1.2f is a little above 1.2, so
    // the single-precision quotient is just below 4000 and truncates.
    EXPECT_EQ(FitPage(PW, PH, 6, 5), (TPageFit{4800, 3999}));
    // 6600 * (7/12) is 3850 exactly; in single precision 3849.99...
    EXPECT_EQ(FitPage(PW, PH, 7, 12), (TPageFit{3849, 6600}));
    // Where single precision happens to round up, the result follows it.
    EXPECT_EQ(FitPage(PW, PH, 3, 11), (TPageFit{1800, 6600}));
}

TEST(FitPage, EmptyFramesOrAreasDrawNothing) {
    EXPECT_EQ(FitPage(PW, PH, 0, 100), TPageFit{});
    EXPECT_EQ(FitPage(PW, PH, 100, 0), TPageFit{});
    EXPECT_EQ(FitPage(0, 0, 100, 100), TPageFit{});
}
