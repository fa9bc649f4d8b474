#include "document/DocTestSupport.h"
#include "document/OpenDocument.h"
#include "settings/IniFile.h"
#include "support/TestSupport.h"
#include "ui/ActionRules.h"
#include "ui/FitMath.h"
#include "ui/ImageBox.h"
#include "ui/Layout.h"
#include "ui/PageView.h"
#include "ui/TfrmProp.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace gd;

TEST(FitInWindow, DrawingRule) {
    struct Case {
        QSize picture, area;
        QRect want;
    } cases[] = {
        {{2000, 1000}, {500, 400}, {0, 75, 500, 250}},  // landscape, limited by width
        {{300, 200}, {500, 400}, {100, 100, 300, 200}}, // fits: natural size, centred
        {{1000, 2000}, {500, 400}, {150, 0, 200, 400}}, // portrait, limited by height
        {{1000, 1000}, {500, 400}, {50, 0, 400, 400}},  // square takes the portrait branch
        {{4000, 1000}, {500, 100}, {50, 0, 400, 100}},  // landscape, then height limits
        {{1000, 3000}, {100, 500}, {0, 100, 100, 300}}, // portrait, then width limits
        {{501, 400}, {500, 400}, {0, 0, 500, 399}},     // truncation toward zero
        {{333, 1000}, {100, 100}, {33, 0, 33, 100}},    // odd halves truncated
        {{0, 0}, {500, 400}, {250, 200, 0, 0}},         // no picture size
    };
    for (const Case& c : cases)
        EXPECT_EQ(FitInWindowRect(c.picture, c.area), c.want)
            << c.picture.width() << "x" << c.picture.height();
}

TEST(Layout, DefaultsAndReadingRules) {
    QTemporaryDir dir;
    IniFile ini(dir.filePath("gdserver.ini"));
    const TLayout builtIn{QRect(277, 138, 523, 508), false, false};
    TLayout l = ReadLayout(ini, builtIn);
    EXPECT_EQ(l.bounds, QRect(277, 138, 523, 508));
    EXPECT_FALSE(l.stayOnTop);
    EXPECT_FALSE(l.fitInWindow);
    EXPECT_FALSE(l.thumbnails);
    EXPECT_EQ(l.thumbnailsWidth, 160);

    gdtest::WriteFile(ini.path(), "[Setup]\nPathIMG=/d/\n[Layout]\nWidth=abc\nHeight=0x200\n"
                                  "Left=$200\nStayOnTop=2\nFitInWindow=yes\nThumbnails=3\n"
                                  "ThumbnailsWidth=wide\n");
    l = ReadLayout(ini, builtIn);
    EXPECT_EQ(l.bounds, QRect(512, 138, 523, 512));
    EXPECT_TRUE(l.stayOnTop);
    EXPECT_FALSE(l.fitInWindow);
    EXPECT_TRUE(l.thumbnails);
    EXPECT_EQ(l.thumbnailsWidth, 160);

    for (const char* width : {"0", "-40"}) {
        gdtest::WriteFile(ini.path(), QByteArray("[Layout]\nThumbnailsWidth=") + width + "\n");
        EXPECT_EQ(ReadLayout(ini, builtIn).thumbnailsWidth, 160) << width;
    }
}

TEST(Layout, WriteKeepsSetupAndRoundTrips) {
    QTemporaryDir dir;
    IniFile ini(dir.filePath("gdserver.ini"));
    gdtest::WriteFile(ini.path(), "[Setup]\r\nPathIMG=/d/\r\nDefFileExt=bmp\r\n");
    WriteLayout(ini, {QRect(10, 20, 300, 400), true, true, true, 212});
    EXPECT_EQ(gdtest::ReadFile(ini.path()),
              "[Setup]\r\nPathIMG=/d/\r\nDefFileExt=bmp\r\n[Layout]\r\nTop=20\r\nLeft=10\r\n"
              "Width=300\r\nHeight=400\r\nStayOnTop=1\r\nFitInWindow=1\r\nThumbnails=1\r\n"
              "ThumbnailsWidth=212\r\n");
    const TLayout back = ReadLayout(ini, {});
    EXPECT_EQ(back.bounds, QRect(10, 20, 300, 400));
    EXPECT_TRUE(back.stayOnTop);
    EXPECT_TRUE(back.fitInWindow);
    EXPECT_TRUE(back.thumbnails);
    EXPECT_EQ(back.thumbnailsWidth, 212);
}

TEST(PageProperties, HexAndResolution) {
    EXPECT_EQ(Hex8(0x30101), "   30101");
    EXPECT_EQ(Hex8(0x21808), "   21808");
    EXPECT_EQ(Hex8(0x26200A), "  26200A");
    EXPECT_EQ(Hex8(0xFFFFFFFF), "FFFFFFFF");
    TfrmProp dlg;
    EXPECT_EQ(dlg.windowTitle(), "Свойства");
    dlg.SetProperties(0x30101, 0x77, 299.9);
    EXPECT_EQ(dlg.cbxPixelFormat->currentText(), "   30101");
    EXPECT_EQ(dlg.edtFlags->text(), "      77");
    EXPECT_EQ(dlg.cbxResolution->currentText(), "299");
}

TEST(ImageBox, NaturalSizeAndFitted) {
    TImageBox box;
    box.resize(500, 400);
    box.SetFitInWindow(true);
    QImage page(2000, 1000, QImage::Format_Mono);
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    page.fill(1);
    box.SetPicture(page);
    EXPECT_EQ(box.DrawRect(), QRect(0, 75, 500, 250));
    QImage rendered(500, 400, QImage::Format_ARGB32);
    rendered.fill(Qt::transparent);
    box.render(&rendered, QPoint(), QRegion(), QWidget::RenderFlags());
    EXPECT_EQ(rendered.pixelColor(250, 200), QColor(Qt::black));
    EXPECT_EQ(rendered.pixelColor(250, 10).alpha(), 0); // outside the picture: not drawn

    box.SetFitInWindow(false);
    EXPECT_EQ(box.size(), QSize(2000, 1000)); // sizes itself to its picture
    EXPECT_EQ(box.DrawRect(), QRect(0, 0, 2000, 1000));
    box.ClearPicture();
    EXPECT_FALSE(box.HasPicture());
    EXPECT_EQ(box.DrawRect(), QRect());
}

TEST(PageView, APageOverTheLimitsSaysWhyInPlaceOfThePicture) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.tif"));
    doctest::WriteShortTiff(path, 20000, 20000);
    TOpenDocument doc({});
    doc.SetFolder(dir.path());
    TImageBox box;
    QComboBox list;
    TPageView view(doc, box, list);
    doc.Changed = [&] { view.Show(); };
    doc.Open(QStringLiteral("big"));
    EXPECT_EQ(list.count(), 1);
    EXPECT_FALSE(box.HasPicture()); // nothing to edit
    EXPECT_TRUE(box.Message().contains(QStringLiteral("20000 × 20000")))
        << box.Message().toStdString();
    QImage rendered(480, 120, QImage::Format_RGB32);
    rendered.fill(Qt::white);
    box.render(&rendered, QPoint(), QRegion(), QWidget::RenderFlags());
    EXPECT_NE(rendered, [] {
        QImage white(480, 120, QImage::Format_RGB32);
        white.fill(Qt::white);
        return white;
    }()); // the text is drawn

    doc.SetCurrentPage(-1); // a page shown again drops the text
    EXPECT_TRUE(box.Message().isEmpty());
}

// The enabled states by name, in their declaration order.
QString EnabledNames(const TActionStates& a) {
    static const std::pair<const char*, bool TActionStates::*> names[] = {
        {"autoCommand", &TActionStates::autoCommand},
        {"import", &TActionStates::import},
        {"save", &TActionStates::save},
        {"scan", &TActionStates::scan},
        {"print", &TActionStates::print},
        {"exportPdf", &TActionStates::exportPdf},
        {"cut", &TActionStates::cut},
        {"copy", &TActionStates::copy},
        {"clear", &TActionStates::clear},
        {"pageDel", &TActionStates::pageDel},
        {"paste", &TActionStates::paste},
        {"pageAddFromFile", &TActionStates::pageAddFromFile},
        {"pageAddFromScan", &TActionStates::pageAddFromScan},
        {"undo", &TActionStates::undo},
        {"pagePrior", &TActionStates::pagePrior},
        {"pageNext", &TActionStates::pageNext},
        {"pageAddMenu", &TActionStates::pageAddMenu},
        {"pageList", &TActionStates::pageList},
        {"thumbnails", &TActionStates::thumbnails},
        {"zoomIn", &TActionStates::zoomIn},
        {"zoomOut", &TActionStates::zoomOut},
        {"actualSize", &TActionStates::actualSize},
        {"fitWidth", &TActionStates::fitWidth},
        {"movePageUp", &TActionStates::movePageUp},
        {"movePageDown", &TActionStates::movePageDown},
        {"rotateLeft", &TActionStates::rotateLeft},
        {"rotateRight", &TActionStates::rotateRight},
        {"rotate180", &TActionStates::rotate180},
    };
    QStringList on;
    for (const auto& [name, field] : names)
        if (a.*field)
            on << name;
    return on.join(u' ');
}

TEST(ActionRules, CaseTable) {
    // What a shown picture enables in either mode, and what editing adds.
    const std::string view = " thumbnails zoomIn zoomOut actualSize fitWidth";
    const std::string rotate = " rotateLeft rotateRight rotate180";
    // Editing the second of three pages, shown, with a selection.
    const auto edit3 = [](int first, int last, int count) {
        return TWindowState{.editMode = true,
                            .pageIndex = 1,
                            .pageCount = 3,
                            .pictureShown = true,
                            .selectionFirst = first,
                            .selectionLast = last,
                            .selectionCount = count};
    };
    const std::string edited3 = "autoCommand import exportPdf cut copy clear pageDel "
                                "pageAddFromFile pagePrior pageNext pageAddMenu pageList" +
                                view;
    const struct Case {
        const char* what;
        TWindowState state;
        std::string enabled;
    } cases[] = {
        {"nothing open", {}, "autoCommand thumbnails"},
        {"viewing the first of three pages: no moving",
         {.pageIndex = 0,
          .pageCount = 3,
          .printerAvailable = true,
          .pictureShown = true,
          .selectionFirst = 0,
          .selectionLast = 0,
          .selectionCount = 1},
         "autoCommand print exportPdf pageNext pageList" + view},
        {"viewing the last of three pages",
         {.pageIndex = 2, .pageCount = 3, .printerAvailable = true, .pictureShown = true},
         "autoCommand print exportPdf pagePrior pageList" + view},
        {"the server serving: no printing",
         {.pageIndex = 1,
          .pageCount = 3,
          .serverActive = true,
          .printerAvailable = true,
          .pictureShown = true},
         "autoCommand exportPdf pagePrior pageNext pageList" + view},
        {"no printer", {.pictureShown = true}, "autoCommand exportPdf" + view},
        {"pages only scanned: no file to print",
         {.printerAvailable = true, .pictureShown = true, .canPrintSource = false},
         "autoCommand exportPdf" + view},
        {"viewing ignores the scanner and the clipboard",
         {.scannerAvailable = true, .pictureShown = true, .clipboardHasImage = true},
         "autoCommand exportPdf" + view},
        {"one page", {.pageIndex = 0, .pageCount = 1}, "autoCommand pageList thumbnails"},
        {"editing the second of two pages",
         {.editMode = true,
          .pageIndex = 1,
          .pageCount = 2,
          .pictureShown = true,
          .selectionFirst = 1,
          .selectionLast = 1,
          .selectionCount = 1},
         "autoCommand import exportPdf cut copy clear pageDel pageAddFromFile pagePrior "
         "pageAddMenu pageList" +
             view + " movePageUp" + rotate},
        {"an edited picture locks the switch; scanner and clipboard",
         {.editMode = true,
          .imageChanged = true,
          .pageIndex = 1,
          .pageCount = 2,
          .scannerAvailable = true,
          .pictureShown = true,
          .clipboardHasImage = true},
         "import save scan exportPdf cut copy clear pageDel paste pageAddFromFile "
         "pageAddFromScan undo pagePrior pageAddMenu pageList" +
             view + rotate},
        {"a page deleted: the list changed, no picture",
         {.editMode = true,
          .modified = true,
          .pageIndex = 1,
          .pageCount = 2,
          .selectionFirst = 1,
          .selectionLast = 1,
          .selectionCount = 1},
         "import save pageAddFromFile undo pagePrior pageAddMenu pageList thumbnails movePageUp"},
        {"unsaved changes without an edit request", {.modified = true}, "thumbnails"},
        {"a block at the top moves only down", edit3(0, 1, 2), edited3 + " movePageDown" + rotate},
        {"a block at the bottom moves only up", edit3(1, 2, 2), edited3 + " movePageUp" + rotate},
        {"a scattered selection from top to bottom still closes up either way", edit3(0, 2, 2),
         edited3 + " movePageUp movePageDown" + rotate},
        {"every page selected moves nowhere", edit3(0, 2, 3), edited3 + rotate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(EnabledNames(ComputeActionStates(c.state)).toStdString(), c.enabled);
    }
}
