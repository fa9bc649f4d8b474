#pragma once

// The open document: the one owner of its name and file, its page list, the
// current page and the edited picture of that page. The window shows it, the
// editor and the server change it only through its operations.

#include "document/GdipExt.h"
#include "document/PageRotate.h"
#include "document/Saving.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <vector>

namespace gd {

// What is unsaved: an edit of the shown picture that has not reached the page
// list (picture), and changes of the page list itself (pages).
struct TDocChange {
    bool picture = false;
    bool pages = false;
};

class TOpenDocument {
public:
    // `defaultExt` (without its dot) names the file of a name that has none
    // yet; it is asked each time, as the settings may change.
    explicit TOpenDocument(std::function<QString()> defaultExt);
    TOpenDocument(const TOpenDocument&) = delete;
    TOpenDocument& operator=(const TOpenDocument&) = delete;

    // Called after every change of what the window shows: the name, the
    // pages, the current page or its picture.
    std::function<void()> Changed;

    // The documents folder the names live in.
    void SetFolder(const QString& folder) { FFolder = folder; }
    const QString& Folder() const { return FFolder; }
    const QString& Name() const { return FName; }
    // The name's file: its first existing variant, else the name with the
    // default extension; empty without a name.
    QString FileName() const;

    // Makes `name` current (empty: none) and reads its file, directory
    // headers only, when one exists and does not lead out of the folder;
    // every unsaved change is dropped. True when a file was opened.
    bool Open(const QString& name);
    // Makes `name` current and leaves the pages as they are.
    void SetName(const QString& name);
    // Reads the current name's file again (undo).
    void Reload() { Open(FName); }
    // No name and no pages.
    void Close() { Open(QString()); }

    const TImagePages& Pages() const { return FPages; }
    int PageCount() const { return FPages.Count(); }
    // The current page; -1 when there is none.
    int PageIndex() const { return std::min(FPages.FPageIndex, FPages.Count() - 1); }
    // The pages came from a file (the document's, or an imported one).
    bool HasSource() const { return FPages.FSource != nullptr; }
    TGPBitmapExt* Source() const { return FPages.FSource.get(); }

    // Makes the page current (clamped) and takes its picture; drops an
    // unsaved edit of the picture. An error taking the page's image
    // propagates after the index was updated; the picture then stays.
    void SetCurrentPage(int index);
    // The current page's picture as edited; null when none is shown (no
    // page, deleted in the editor, or an image that does not decode).
    const QImage& Picture() const { return FPicture; }
    // Why the current page shows no picture; empty when it does, or when it
    // has none to show.
    const QString& PictureFailure() const { return FFailure; }
    // An edit of the shown picture (or a picture where none was shown); it
    // reaches the page list when the document is saved.
    void SetPicture(const QImage& picture);
    // The editor's page delete: no picture shown; the page goes at the save.
    void DeleteCurrentPage();
    TDocChange Change() const { return {FPictureChanged, FPages.FModified}; }

    // Copies every frame of the file as pages after the current one and
    // shows the first; a file that gives no page changes nothing. Returns
    // the number of pages inserted.
    int InsertFramesFrom(const QString& path);
    // The file's pages in place of the document's, kept as the file is when
    // saved unchanged (TSaveOptions::keepOriginal).
    void Import(const QString& path);
    // A scanned file as a page that owns the file: in place of the current
    // page, or appended.
    void AddScannedPage(const QString& file, bool replaceCurrent);

    // The organiser's operations on a selection of pages, given for the list
    // as Pages() shows it (any order, repeats allowed; an index out of range
    // throws before anything changes). An unsaved edit of the picture first
    // joins the list (an edited picture replaces its page, a page deleted in
    // the editor goes). Each marks the document changed when it changes the
    // list, keeps the current page on the page it showed while that stays
    // (after a delete: the next page that stays, else the last), and shows it.
    void RotatePages(std::vector<int> indexes, TRotation turn);
    // Returns the index of the first moved page afterwards.
    int MovePages(std::vector<int> indexes, int position);
    // Returns how many pages went (a page deleted in the editor counts).
    int DeletePages(std::vector<int> indexes);
    // The pages of the image files, in order, at `position` (0 to
    // PageCount()), as "pages from a file" copies them. Returns how many.
    int InsertFiles(int position, const QStringList& paths);

    // Puts the edited picture back into the page list, then writes the
    // document to its file (SaveDocument) and shows the kept page again.
    TSaveOutcome Save(const TSaveOptions& options);

private:
    void Notify();
    void PutPictureBack();
    // Checks the organiser's indexes and position, then settles an unsaved
    // edit, mapping them past a page deleted in the editor.
    void SettleEdit(std::vector<int>& indexes, int* position);

    std::function<QString()> FDefaultExt;
    QString FFolder;
    QString FName;
    TImagePages FPages;
    QImage FPicture;
    QString FFailure;
    bool FPictureChanged = false;
};

} // namespace gd
