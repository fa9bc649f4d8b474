#include "printing/PrintDocument.h"
#include "common/Exception.h"
#include "common/Messages.h"
#include "printing/PrintImage.h"

#include <QImage>
#include <QPainter>
#include <QPicture>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// Records a job: every sheet is a QPicture of what was painted on it.
class TRecordingDevice : public gd::IPrintDevice {
public:
    explicit TRecordingDevice(QSize area) : FArea(area) {}
    ~TRecordingDevice() override { EXPECT_FALSE(painter.isActive()) << "job left open"; }

    QSize PrintableArea() override {
        ++areaReads;
        return FArea;
    }
    void Begin(const QString& t, int c) override {
        title = t;
        copies = c;
        begun = true;
    }
    QPainter& Sheet() override {
        if (failSheet)
            throw gd::Exception(QStringLiteral("sheet"));
        EndSheet();
        sheets.push_back(std::make_unique<QPicture>());
        painter.begin(sheets.back().get());
        return painter;
    }
    void End() override {
        EndSheet();
        ended = true;
    }
    void Abort() noexcept override {
        EndSheet();
        aborted = true;
    }

    QString title;
    int copies = -1;
    int areaReads = 0;
    bool begun = false, ended = false, aborted = false, failSheet = false;
    std::vector<std::unique_ptr<QPicture>> sheets;
    QPainter painter;

private:
    void EndSheet() {
        if (painter.isActive())
            painter.end();
    }
    QSize FArea;
};

// Frames held in memory; records the rectangles it was drawn into.
class TFrames : public gd::IPrintImage {
public:
    explicit TFrames(std::vector<QSize> sizes, int active = 0)
        : FSizes(std::move(sizes)), FActive(active) {}
    int FrameCount() const override { return static_cast<int>(FSizes.size()); }
    int ActiveFrame() const override { return FActive; }
    void SelectFrame(int index) override {
        selections.push_back(index);
        // As the document's bitmap: the frame already active is no change.
        if (index == FActive && index != failOn)
            return;
        if (index == failOn || index < 0 || index >= FrameCount())
            throw gd::Exception(QStringLiteral("Страница %1 рисунка не существует").arg(index));
        FActive = index;
    }
    QSize FrameSize() const override { return FSizes[FActive]; }
    void DrawFrame(QPainter& painter, const QRect& target) override {
        drawn.push_back({FActive, target});
        painter.fillRect(target, Qt::black);
    }

    struct TDraw {
        int frame;
        QRect target;
    };
    std::vector<TDraw> drawn;
    std::vector<int> selections;
    int failOn = -1;

private:
    std::vector<QSize> FSizes;
    int FActive;
};

class TCancelAt : public gd::IPrintProgress {
public:
    explicit TCancelAt(int at) : FAt(at) {}
    bool Sheet(int index, int count) override {
        seen.push_back({index, count});
        return index != FAt;
    }
    std::vector<std::pair<int, int>> seen;

private:
    int FAt;
};

const QSize kArea(4800, 6600);

} // namespace

TEST(PrintDocument, OneSheetPerFrameAtTheTopLeftCorner) {
    TRecordingDevice device(kArea);
    TFrames image({{2000, 1000}, {1000, 2000}, {9600, 13200}});
    EXPECT_TRUE(gd::PrintDocument(device, gd::PrintJobTitle(QStringLiteral("A")), image, 2));
    EXPECT_EQ(device.title, QStringLiteral("Kvelmar - A"));
    EXPECT_EQ(device.copies, 2);
    EXPECT_EQ(device.areaReads, 1);
    EXPECT_TRUE(device.ended);
    EXPECT_FALSE(device.aborted);
    ASSERT_EQ(device.sheets.size(), 3u);
    EXPECT_EQ(device.sheets[0]->boundingRect(), QRect(0, 0, 4800, 2400));
    EXPECT_EQ(device.sheets[1]->boundingRect(), QRect(0, 0, 3300, 6600));
    EXPECT_EQ(device.sheets[2]->boundingRect(), QRect(0, 0, 4800, 6600));
    ASSERT_EQ(image.drawn.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(image.drawn[i].frame, i);
}

TEST(PrintDocument, LeavesTheImageOnTheFrameItHad) {
    TRecordingDevice device(kArea);
    TFrames image({{100, 50}, {100, 50}, {100, 50}}, 1);
    gd::PrintDocument(device, QStringLiteral("t"), image, 1);
    EXPECT_EQ(image.ActiveFrame(), 1);
    EXPECT_EQ(image.selections, (std::vector<int>{0, 1, 2, 1}));
}

TEST(PrintDocument, ACopyCountBelowOnePrintsOneCopy) {
    for (int copies : {0, -5}) {
        TRecordingDevice device(kArea);
        TFrames image({{100, 50}});
        gd::PrintDocument(device, QStringLiteral("t"), image, copies);
        EXPECT_EQ(device.copies, 1) << copies;
        EXPECT_EQ(device.sheets.size(), 1u);
    }
}

TEST(PrintDocument, AnImageWithoutFramesFailsBeforeAnyJob) {
    TRecordingDevice device(kArea);
    TFrames image({});
    EXPECT_THROW(gd::PrintDocument(device, QStringLiteral("t"), image, 1), gd::Exception);
    EXPECT_FALSE(device.begun);
    EXPECT_TRUE(device.sheets.empty());
}

TEST(PrintDocument, AFailingFrameSelectionAbortsTheJobAndRestoresTheFrame) {
    TRecordingDevice device(kArea);
    TFrames image({{100, 50}, {100, 50}, {100, 50}}, 2);
    image.failOn = 1;
    try {
        gd::PrintDocument(device, QStringLiteral("t"), image, 1);
        FAIL() << "no error";
    } catch (const gd::Exception& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Страница 1 рисунка не существует"));
    }
    EXPECT_TRUE(device.aborted);
    EXPECT_FALSE(device.ended);
    EXPECT_FALSE(device.painter.isActive());
    EXPECT_EQ(device.sheets.size(), 1u);
    EXPECT_EQ(image.ActiveFrame(), 2);
}

TEST(PrintDocument, AFailingSheetAbortsTheJob) {
    TRecordingDevice device(kArea);
    device.failSheet = true;
    TFrames image({{100, 50}, {100, 50}}, 1);
    EXPECT_THROW(gd::PrintDocument(device, QStringLiteral("t"), image, 1), gd::Exception);
    EXPECT_TRUE(device.aborted);
    EXPECT_EQ(image.ActiveFrame(), 1);
}

TEST(PrintDocument, ARestoreThatFailsDiscardsTheJob) {
    // The frame is restored before the job is handed over, so a failure is
    // never reported for a job that did print.
    TRecordingDevice device(kArea);
    TFrames image({{100, 50}}, 0);
    image.failOn = 0;
    EXPECT_THROW(gd::PrintDocument(device, QStringLiteral("t"), image, 1), gd::Exception);
    EXPECT_TRUE(device.aborted);
}

TEST(PrintDocument, ProgressSeesEverySheetAndCanCancel) {
    TRecordingDevice device(kArea);
    TFrames image({{100, 50}, {100, 50}, {100, 50}}, 0);
    TCancelAt progress(1);
    EXPECT_FALSE(gd::PrintDocument(device, QStringLiteral("t"), image, 1, &progress));
    EXPECT_EQ(progress.seen, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}}));
    EXPECT_TRUE(device.aborted);
    EXPECT_FALSE(device.ended);
    EXPECT_EQ(image.ActiveFrame(), 0);
}

TEST(PrintableImage, MinIsWhitePagesBecomeBlackOnWhiteWithTheSamePicture) {
    QImage page(64, 8, QImage::Format_Mono);
    page.setColorTable({0xffffffff, 0xff000000}); // index 0 white
    page.fill(0);
    page.setPixel(3, 2, 1); // one black dot
    const QImage out = gd::PrintableImage(page);
    EXPECT_EQ(out.format(), QImage::Format_Mono);
    EXPECT_EQ(out.colorTable(), (QList<QRgb>{0xff000000, 0xffffffff}));
    EXPECT_EQ(out.convertToFormat(QImage::Format_RGB32),
              page.convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(out.pixelIndex(3, 2), 0);
    EXPECT_EQ(out.pixelIndex(4, 2), 1);
}

TEST(PrintableImage, OtherImagesPassUnchanged) {
    QImage lsb(16, 4, QImage::Format_MonoLSB);
    lsb.setColorTable({0xff000000, 0xffffffff});
    lsb.fill(1);
    lsb.setPixel(5, 1, 0);
    const QImage out = gd::PrintableImage(lsb);
    EXPECT_EQ(out.format(), QImage::Format_Mono);
    EXPECT_EQ(out.convertToFormat(QImage::Format_RGB32), lsb.convertToFormat(QImage::Format_RGB32));

    QImage gray(4, 4, QImage::Format_Grayscale8);
    gray.fill(100);
    EXPECT_EQ(gd::PrintableImage(gray), gray);
    QImage redBlue(8, 2, QImage::Format_Mono);
    redBlue.setColorTable({0xffff0000, 0xff0000ff});
    redBlue.fill(0);
    EXPECT_EQ(gd::PrintableImage(redBlue).colorTable(), redBlue.colorTable());
}

TEST(PrintPageImage, APageLargerThanItsTargetIsReducedToItFirst) {
    struct Case {
        QImage::Format format;
        QSize page, target, want;
    } cases[] = {
        {QImage::Format_Grayscale8, {600, 400}, {60, 40}, {60, 40}},
        {QImage::Format_RGB888, {600, 400}, {60, 40}, {60, 40}},
        {QImage::Format_Mono, {600, 400}, {60, 40}, {60, 40}},
        {QImage::Format_Mono, {600, 400}, {60, 39}, {60, 39}},     // rounding of the fit
        {QImage::Format_Grayscale8, {30, 20}, {60, 40}, {30, 20}}, // smaller: as it is
    };
    for (const Case& c : cases) {
        QImage page(c.page, c.format);
        const bool mono = c.format == QImage::Format_Mono;
        if (mono)
            page.setColorTable({0xff000000, 0xffffffff});
        page.fill(mono ? 0 : 0xff000000);
        // A white left half: averaging keeps it white, the right half black.
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width() / 2; ++x)
                mono ? page.setPixel(x, y, 1) : page.setPixelColor(x, y, Qt::white);
        const QImage out = gd::PrintPageImage(page, c.target);
        SCOPED_TRACE(testing::Message() << c.format << " " << c.target.height());
        EXPECT_EQ(out.size(), c.want);
        EXPECT_EQ(out.depth(), page.depth()); // 1-bit pages stay 1-bit
        EXPECT_EQ(out.pixelColor(out.width() / 4, out.height() / 2), QColor(Qt::white));
        EXPECT_EQ(out.pixelColor(out.width() * 3 / 4, out.height() / 2), QColor(Qt::black));
    }
}
