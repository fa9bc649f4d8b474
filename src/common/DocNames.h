#pragma once

// How a document name becomes a file in the documents folder. Pure rules over
// the file system, shared by the server (PRINT, DELETE, the checks before
// SHOW and EDIT) and the open document.

#include <QString>

namespace gd {

// A name that may reach the file system: a bare, non-empty file name.
bool IsSafeDocName(const QString& name);
// The document's file in `folder`: the first existing of .tif, .bmp, .jpg,
// else the name with `defaultExt` (without its dot).
QString DocFileName(const QString& folder, const QString& name, const QString& defaultExt);
// Whether a document's file may be opened: a link must lead, through every
// link on the way, to a regular file inside `folder`. A path that names
// nothing passes (there is nothing to open).
bool DocFileInFolder(const QString& folder, const QString& path);

// An open descriptor, closed with its owner.
class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(int fd) : FFd(fd) {}
    ~TFileHandle() { Close(); }
    TFileHandle(TFileHandle&& other) noexcept : FFd(other.Release()) {}
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    // A path that opens this very file again, as a new open file description,
    // whatever was done to its name since; empty when nothing is open.
    QString ProcPath() const;
    int Release();
    void Close();

private:
    int FFd = -1;
};

// Opens a document's file for reading, once, for everything then read of
// it: what the path leads to must be a regular file inside `folder`, links
// on the way included. The check is made on the opened descriptor itself, so
// a link swapped in after a check cannot lead out. Not open otherwise, with
// the reason in `why` (the system's error, or that the file lies outside the
// folder or is no regular file).
TFileHandle OpenDocFileInFolder(const QString& folder, const QString& path, QString* why = nullptr);

} // namespace gd
