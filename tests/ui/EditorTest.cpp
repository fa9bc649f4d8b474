// Editing a document opened by EDIT: the shown picture, the clipboard, pages
// from files, import, undo and save, through the window's actions.
#include "ui/Editor.h"
#include "server/DocServer.h"
#include "server/ProtocolSupport.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "ui/ImageBox.h"
#include "ui/TfrmMain.h"
#include "ui/TfrmProp.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "document/DocTestSupport.h"
#include "support/WindowTest.h"

using namespace gd;
using gdtest::Request;

namespace {

void Convert(const QStringList& args) {
    const gdtest::RunResult r = gdtest::Run("convert-im6.q16", args);
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
}

using doctest::MakePages;

class Editing : public gdtest::WindowTest {
protected:
    QString chosen; // what the open-file dialog returns

    void Edit(const QString& name = QStringLiteral("A")) {
        OpenWindow();
        Win().Editor().ChooseFile = [this] { return chosen; };
        EditDocument(name.toLatin1());
    }
    std::vector<int> Widths() { return doctest::PageWidths(Win().Doc.Pages()); }
    int ShownWidth() { return Win().ImageBox->Picture().width(); }
    void PutOnClipboard(const QImage& img) { QGuiApplication::clipboard()->setImage(img); }
};

} // namespace

TEST_F(Editing, InsertIntoAnEmptyDocumentThenSave) {
    chosen = dir.filePath("two.tif");
    MakePages(chosen, 2, 300);
    Edit("B");
    EXPECT_EQ(Win().Doc.PageCount(), 0);
    ASSERT_TRUE(Run(Win().A.ActionPageAddFromFile));
    EXPECT_EQ(Widths(), std::vector<int>({300, 310}));
    EXPECT_EQ(ShownWidth(), 300);

    ASSERT_TRUE(Run(Win().A.ActionSave));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_TRUE(QFile::exists(docs + "/B.tif"));
    EXPECT_EQ(Win().StaticText->text(), docs + "/B.tif");
    EXPECT_FALSE(Win().Doc.Change().pages);
    EXPECT_FALSE(Win().A.ActionSave->isEnabled());
}

TEST_F(Editing, PasteWithNoPageShownBecomesTheShownPicture) {
    MakePages(docs + "/A.tif", 2);
    Edit();
    QImage clip(77, 33, QImage::Format_RGB32);
    clip.fill(Qt::green);
    PutOnClipboard(clip);
    ASSERT_TRUE(Run(Win().A.ActionPageDel));
    ASSERT_TRUE(Run(Win().A.ActionPaste));
    EXPECT_EQ(Win().ImageBox->Picture().size(), QSize(77, 33));
    EXPECT_TRUE(Win().Doc.Change().picture);
    ASSERT_TRUE(Run(Win().A.ActionSave));
    EXPECT_EQ(Widths(), std::vector<int>({77, 110}));
    EXPECT_EQ(Win().ImageBox->Picture().pixelColor(5, 5), QColor(Qt::green));
}

TEST_F(Editing, PasteOfAnotherSizeKeepsTheBilevelFormat) {
    Convert({"-size", "200x100", "pattern:checkerboard", "-monochrome", "-depth", "1",
             docs + "/A.tif"});
    Edit();
    ASSERT_EQ(Win().ImageBox->Picture().depth(), 1);
    QImage clip(60, 40, QImage::Format_RGB32);
    clip.fill(Qt::white);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 60; ++x)
            clip.setPixel(x, y, qRgb(10, 10, 10));
    PutOnClipboard(clip);
    ASSERT_TRUE(Run(Win().A.ActionPaste));
    const QImage shown = Win().ImageBox->Picture();
    EXPECT_EQ(shown.size(), QSize(60, 40));
    EXPECT_EQ(shown.depth(), 1);
    EXPECT_EQ(shown.pixelColor(1, 1), QColor(Qt::black));
    EXPECT_EQ(shown.pixelColor(1, 30), QColor(Qt::white));
    ASSERT_TRUE(Run(Win().A.ActionSave));
    EXPECT_EQ(Win().Doc.Pages().Get(0)->GetBitmap()->GetPixelFormat(), PixelFormat1bppIndexed);
}

TEST_F(Editing, CutPutsThePageOnTheClipboardAndLeavesItWhite) {
    Convert({"-size", "40x30", "xc:red", "-depth", "8", docs + "/A.bmp"});
    Edit();
    ASSERT_TRUE(Run(Win().A.ActionCut));
    const QImage clip = QGuiApplication::clipboard()->image();
    ASSERT_EQ(clip.size(), QSize(40, 30));
    EXPECT_EQ(clip.pixelColor(3, 3), QColor(Qt::red));
    const QImage shown = Win().ImageBox->Picture();
    EXPECT_EQ(shown.size(), QSize(40, 30));
    EXPECT_EQ(shown.pixelColor(3, 3), QColor(Qt::white));
    EXPECT_EQ(shown.pixelColor(39, 29), QColor(Qt::white));
    EXPECT_TRUE(Win().Doc.Change().picture);
    EXPECT_EQ(Win().Doc.PageCount(), 1); // the page stays, white
}

TEST_F(Editing, ClearOfABilevelPageWhateverItsPalette) {
    // Bit 0 black: a fill with "colour 0" would blacken the page.
    QImage mono(16, 8, QImage::Format_Mono);
    mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    mono.fill(0);
    FillWhite(mono);
    EXPECT_EQ(mono.pixelColor(3, 3), QColor(Qt::white));
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    mono.fill(1);
    FillWhite(mono);
    EXPECT_EQ(mono.pixelColor(3, 3), QColor(Qt::white));
}

TEST_F(Editing, ClipboardFailuresAreReported) {
    MakePages(docs + "/A.tif", 1, 100, "red");
    Edit();
    Win().Editor().Clipboard = [] { return nullptr; };
    ASSERT_TRUE(Run(Win().A.ActionCopy));
    EXPECT_EQ(errors, QStringList({"Cannot open clipboard"}));
    // A cut whose copy failed leaves the page as it was.
    const QImage before = Win().ImageBox->Picture();
    ASSERT_TRUE(Run(Win().A.ActionCut));
    EXPECT_EQ(errors.size(), 2);
    EXPECT_EQ(Win().ImageBox->Picture(), before);
    EXPECT_FALSE(Win().Doc.Change().picture);

    Win().Editor().Clipboard = [] { return QGuiApplication::clipboard(); };
    auto* data = new QMimeData;
    data->setData("application/x-qt-image", "not an image");
    QGuiApplication::clipboard()->setMimeData(data);
    errors.clear();
    ASSERT_TRUE(Run(Win().A.ActionPaste));
    EXPECT_EQ(errors, QStringList({"Unsupported clipboard format"}));
    EXPECT_FALSE(Win().Doc.Change().picture);
}

TEST_F(Editing, SaveFailureIsReportedAndTheDocumentKept) {
    MakePages(docs + "/A.tif", 2);
    const QByteArray before = gdtest::ReadFile(docs + "/A.tif");
    Edit();
    ASSERT_TRUE(Run(Win().A.ActionPageDel));
    // The document's name in the default format is taken by a folder.
    settings->SetDefFormat(DocFormat::Bmp);
    QDir().mkpath(docs + "/A.bmp");
    ASSERT_TRUE(Run(Win().A.ActionSave));
    EXPECT_EQ(errors, QStringList({"Не удалось сохранить документ \"" + docs + "/A.bmp\""}));
    EXPECT_EQ(gdtest::ReadFile(docs + "/A.tif"), before);
    EXPECT_TRUE(Win().Doc.Change().pages); // still unsaved
}

TEST_F(Editing, ViewOnlyDisablesEveryEditingAction) {
    MakePages(docs + "/A.tif", 2);
    Edit();
    gdtest::WriteFile(ctl, Request("SHOW=A", "t2") + "\r\n");
    w->Server()->SetServerActive(true);
    w->Server()->ExecuteCommands();
    Win().UpdateActions();
    for (QAction* a : {Win().A.ActionClear, Win().A.ActionCut, Win().A.ActionCopy,
                       Win().A.ActionPaste, Win().A.ActionPageDel, Win().A.ActionPageAddFromFile,
                       Win().A.ActionImport, Win().A.ActionUndo, Win().A.ActionSave})
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_FALSE(Win().I.ItemPageAdd->isEnabled());
}

TEST_F(Editing, PagePropertiesOfTheCurrentPage) {
    Convert({"-size", "40x30", "xc:white", "-monochrome", "-depth", "1", "-density", "300",
             "-units", "PixelsPerInch", docs + "/A.tif"});
    Edit();
    Win().Doc.SetCurrentPage(-1);
    Win().I.ItemPageProperty->trigger(); // no page: nothing opens
    EXPECT_TRUE(Win().GetFrmProp().edtFlags->text().isEmpty());

    Win().Doc.SetCurrentPage(0);
    bool shown = false;
    QTimer::singleShot(0, w.get(), [&] {
        shown = Win().GetFrmProp().isVisible();
        Win().GetFrmProp().reject();
    });
    Win().I.ItemPageProperty->trigger();
    EXPECT_TRUE(shown);
    EXPECT_EQ(Win().GetFrmProp().cbxPixelFormat->currentText(), "   30101");
    EXPECT_EQ(Win().GetFrmProp().cbxResolution->currentText(), "300");
}

TEST(OpenFileFilters, FourEntriesMatchingAnyLetterCase) {
    const QStringList filters = OpenFileFilters();
    ASSERT_EQ(filters.size(), 4);
    const QStringList descriptions{"Все файлы рисунков", "Документы TIFF (*.tif)",
                                   "Точечные рисунки (*.bmp)", "Файлы JPEG (*.jpg)"};
    auto matches = [](const QString& filter, const QString& name) {
        const qsizetype open = filter.lastIndexOf(u'(');
        for (const QString& p : filter.mid(open + 1).chopped(1).split(u' '))
            if (QRegularExpression(QRegularExpression::wildcardToRegularExpression(p))
                    .match(name)
                    .hasMatch())
                return true;
        return false;
    };
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(filters[i].startsWith(descriptions[i] + " (")) << filters[i].toStdString();
    EXPECT_TRUE(matches(filters[0], "Scan.TIF"));
    EXPECT_TRUE(matches(filters[0], "scan.tif"));
    EXPECT_TRUE(matches(filters[0], "x.Bmp"));
    EXPECT_TRUE(matches(filters[0], "y.jpg"));
    EXPECT_FALSE(matches(filters[0], "z.png"));
    EXPECT_TRUE(matches(filters[1], "a.Tif"));
    EXPECT_FALSE(matches(filters[1], "a.bmp"));
    EXPECT_TRUE(matches(filters[2], "a.BMP"));
    EXPECT_TRUE(matches(filters[3], "a.JpG"));
    EXPECT_FALSE(matches(filters[3], "a.jpeg"));
}

// "Экспорт в PDF...": offered in view mode too, with the document's name in
// the documents folder; writes the pages as shown, the unsaved edit
// included, and leaves the document unsaved.
TEST_F(Editing, ExportPdfWritesThePagesAsShownWithoutSaving) {
    MakePages(docs + "/A.tif", 12, 100, "black");
    const QByteArray saved = gdtest::ReadFile(docs + "/A.tif");
    OpenWindow();
    Cycle({"SHOW=A"});
    Win().UpdateActions();
    EXPECT_TRUE(Win().A.ActionExportPdf->isEnabled());
    EXPECT_EQ(Win().A.ActionExportPdf->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
    w->Server()->SetServerActive(true); // ends the view
    Cycle({"EDIT=A"});
    ASSERT_TRUE(w->Server()->EditMode());
    Win().Doc.SetCurrentPage(1);
    ASSERT_TRUE(Run(Win().A.ActionClear));

    QString suggested;
    const QString pdf = dir.filePath("out");
    w->ChooseExportFile = [&](const QString& s) {
        suggested = s;
        return pdf;
    };
    ASSERT_TRUE(Run(Win().A.ActionExportPdf));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(suggested, QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                             .filePath("A.pdf"));
    const gdtest::RunResult info = gdtest::Run("pdfinfo", {pdf + ".pdf"});
    EXPECT_TRUE(info.out.contains("Pages:           12")) << info.out.constData();
    // Page 2 is the cleared picture: white; the others black.
    for (int page : {1, 2, 12}) {
        const gdtest::RunResult r = gdtest::Run(
            "pdftoppm", {"-r", "24", "-gray", "-f", QString::number(page), "-l",
                         QString::number(page), "-singlefile", pdf + ".pdf", dir.filePath("p")});
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        const QImage img = QImage(dir.filePath("p.pgm"));
        const int gray = qGray(img.pixel(img.width() / 2, img.height() / 2));
        EXPECT_TRUE(page == 2 ? gray > 250 : gray < 5) << page << ": " << gray;
    }
    EXPECT_EQ(gdtest::ReadFile(docs + "/A.tif"), saved);
    EXPECT_TRUE(Win().Doc.Change().picture);
    EXPECT_TRUE(Win().A.ActionSave->isEnabled());
}
