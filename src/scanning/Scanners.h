#pragma once

// The TWAIN session: one Source Manager connection for the run and at most
// one open Source. The state is the process's own (one set of module
// variables); everything runs on the GUI thread.

#include "common/Exception.h"
#include "scanning/Twain.h"

#include <QObject>
#include <QString>
#include <functional>

class QEvent;

namespace gd {

// A failed TWAIN call; the English message names the operation and condition.
class ETwainError : public Exception {
public:
    using Exception::Exception;
};

// A violated precondition of the session layer: "<text> (SCANNERS, line <n>)".
class EAssertionFailed : public Exception {
public:
    using Exception::Exception;
};

// The Source Manager library's file name; see TWDSMLibraryCandidates().
extern const char* const kDSMLibraryName;

// Where the library is looked for, in order: beside the executable, the
// installed library folder relative to it and as configured, then the
// dynamic loader's own search by name.
QStringList TWDSMLibraryCandidates();
// Seam: load exactly this file instead (empty restores the normal lookup).
void TWSetDSMLibraryPath(const QString& path);

bool TWLoadDSM();
void TWUnloadDSM();
// The window is the main window's QWidget*; it receives the Source's notifications.
void TWOpenDSM(twain::TW_HANDLE window);
bool TWIsDSMOpen();
bool TWIsDSOpen();
bool TWGetDefaultDS();
void TWSelectDS();
void TWOpenDS();
void TWEnableDS(bool show);
bool TWIsDSEnabled();
// Offers one event of the application's loop to the enabled Source; true when
// it was the Source's (the event must then not be dispatched further).
bool TWProcessMessage(QEvent* event);
void TWDisableDS();
void TWCloseDS();
void TWCloseDSM();

twain::TW_UINT16 TWCallDSM(twain::TW_IDENTITY* pDest, twain::TW_UINT32 DG, twain::TW_UINT16 DAT,
                           twain::TW_UINT16 MSG, twain::TW_MEMREF pData);
twain::TW_UINT16 TWCallDS(twain::TW_UINT32 DG, twain::TW_UINT16 DAT, twain::TW_UINT16 MSG,
                          twain::TW_MEMREF pData);
void TWCheckDSM(twain::TW_UINT16 rc, const QString& label);
void TWCheckDS(twain::TW_UINT16 rc, const QString& label);
[[noreturn]] void TWRaiseDSMStatus(const QString& label);
[[noreturn]] void TWRaiseDSStatus(const QString& label);
QString TWConditionText(twain::TW_UINT16 code);

const twain::TW_IDENTITY& AppIdentity();
const twain::TW_IDENTITY& SourceIdentity();
bool TWTransferDone();

// Acquisition of one image into a BMP file.
enum class TTransferKind { Native, Memory, File };

// Runs one acquisition; true when the Source wrote the file. The file is
// removed again when the acquisition fails or is cancelled (unless it existed
// before). A name longer than the 255 bytes of the TWAIN field raises
// ETwainError before anything is opened.
bool TWAcquireToFile(twain::TW_HANDLE window, const QString& fileName);
void TWSetXferMech(TTransferKind kind);
void TWSetupFileXfer(const QString& fileName);
twain::TW_UINT16 TWFileTransfer();
// Run when the Source reports MSG_XFERREADY: transfer, end it, drop the rest.
void TWTransferReady();

// The application-wide message hook: install on the QApplication. Every event
// goes to TWProcessMessage first and is swallowed when it was the Source's.
// An error raised there ends a running TWAcquireToFile (which rethrows it);
// outside an acquisition it goes to errorBox.
class TTwainMessageHook : public QObject {
public:
    explicit TTwainMessageHook(std::function<void(const QString&)> errorBox,
                               QObject* parent = nullptr);
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QString&)> FErrorBox;
};

} // namespace gd
