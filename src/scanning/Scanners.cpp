#include "scanning/Scanners.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>

using namespace twain;

namespace gd {

const char* const kDSMLibraryName = GD_DSM_LIBRARY_NAME;

namespace {

// Assertion errors name this unit and the line of the check.
#define TW_ASSERT(cond, text)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            throw EAssertionFailed(                                                                \
                QString::asprintf("%s (%s, line %d)", text, "SCANNERS", __LINE__));                \
    } while (0)

struct TModuleState {
    void* Library = nullptr;
    DSMENTRYPROC DSM_Entry = nullptr;
    TW_IDENTITY AppIdentity{};
    TW_IDENTITY SourceIdentity{};
    TW_HANDLE ParentWindow = nullptr;
    bool DSMOpen = false;
    bool DSOpen = false;
    bool DSEnabled = false;
    bool TransferDone = false;
    QString LibraryPath;  // seam; empty: the normal lookup
    QString TransferFile; // the file of the current file transfer
    int AcquireDepth = 0; // nested TWAcquireToFile loops running
    std::exception_ptr PendingError;
};

TModuleState M;

void CopyText(TW_STR32& field, const char* text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text, sizeof field - 1);
}

void FillAppIdentity() {
    TW_IDENTITY& a = M.AppIdentity;
    std::memset(&a, 0, sizeof a);
    a.Id = 0;
    a.Version.MajorNum = 1;
    a.Version.MinorNum = 0;
    a.Version.Language = TWLG_USA;
    a.Version.Country = TWCY_USA;
    CopyText(a.Version.Info, "Corvane Twain Test");
    a.ProtocolMajor = 1;
    a.ProtocolMinor = 7;
    a.SupportedGroups = DG_CONTROL | DG_IMAGE;
    CopyText(a.Manufacturer, "Havrel");
    CopyText(a.ProductFamily, "Corvane Twain Framework");
    CopyText(a.ProductName, "Quorlin");
}

QString ExecutableDir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return QFileInfo(QFile::decodeName(QByteArray(buf, n))).absolutePath();
}

} // namespace

QStringList TWDSMLibraryCandidates() {
    if (!M.LibraryPath.isEmpty())
        return {M.LibraryPath};
    const QString name = QString::fromLatin1(kDSMLibraryName);
    const QString exeDir = ExecutableDir();
    return {exeDir + u'/' + name,
            // an installed tree moved elsewhere: bin/../<libdir>/gdserver
            exeDir + QStringLiteral("/../" GD_DSM_INSTALL_LIBDIR "/gdserver/") + name,
            QStringLiteral(GD_DSM_INSTALL_DIR "/") + name, name};
}

void TWSetDSMLibraryPath(const QString& path) {
    M.LibraryPath = path;
}

bool TWLoadDSM() {
    if (M.Library)
        return true;
    const QStringList candidates = TWDSMLibraryCandidates();
    for (const QString& path : candidates) {
        // A bare name goes to the loader's search; a path only when it exists.
        if (path.contains(u'/') && !QFileInfo::exists(path))
            continue;
        // The manager links Qt and SANE, which cannot be unmapped safely: it
        // stays mapped and resets its own state when it is closed.
        M.Library = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_NODELETE);
        if (M.Library)
            break;
    }
    if (!M.Library)
        return false;
    M.DSM_Entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(M.Library, "DSM_Entry"));
    if (!M.DSM_Entry)
        throw ETwainError(QStringLiteral("DSMEntry not found in Twain DLL"));
    return true;
}

void TWUnloadDSM() {
    M.DSM_Entry = nullptr;
    if (M.Library) {
        ::dlclose(M.Library);
        M.Library = nullptr;
    }
}

void TWOpenDSM(TW_HANDLE window) {
    if (M.DSMOpen)
        return;
    TW_ASSERT(window != nullptr, "Assertion failure");
    if (!TWLoadDSM())
        throw ETwainError(QStringLiteral("Twain DLL couldn't be loaded"));
    FillAppIdentity();
    M.ParentWindow = window;
    TWCheckDSM(TWCallDSM(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &M.ParentWindow),
               QStringLiteral("TWOpenDSM"));
    M.DSMOpen = true;
}

bool TWIsDSMOpen() {
    return M.DSMOpen;
}
bool TWIsDSOpen() {
    return M.DSOpen;
}
bool TWIsDSEnabled() {
    return M.DSEnabled;
}
bool TWTransferDone() {
    return M.TransferDone;
}
const TW_IDENTITY& AppIdentity() {
    return M.AppIdentity;
}
const TW_IDENTITY& SourceIdentity() {
    return M.SourceIdentity;
}

bool TWGetDefaultDS() {
    TW_ASSERT(!M.DSOpen, "Source must not be open");
    TW_IDENTITY scratch{};
    if (TWCallDSM(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &scratch) != TWRC_SUCCESS)
        return false;
    M.SourceIdentity = scratch;
    return true;
}

void TWSelectDS() {
    TW_ASSERT(!M.DSOpen, "Source must not be open");
    TW_IDENTITY scratch{};
    TWCheckDSM(TWCallDSM(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &scratch),
               QStringLiteral("TWSelectDS:Select Default"));
    const TW_UINT16 rc = TWCallDSM(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &scratch);
    if (rc == TWRC_SUCCESS)
        M.SourceIdentity = scratch;
    else if (rc != TWRC_CANCEL)
        TWCheckDSM(rc, QStringLiteral("TWSelectDS:User Select"));
}

void TWOpenDS() {
    TW_ASSERT(M.DSMOpen, "DSM must be open");
    if (M.DSOpen)
        return;
    TWCheckDSM(TWCallDSM(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &M.SourceIdentity),
               QStringLiteral("TWOpenDS"));
    M.DSOpen = true;
}

void TWEnableDS(bool show) {
    TW_ASSERT(M.DSOpen, "DS must be open");
    if (M.DSEnabled)
        return;
    TW_USERINTERFACE ui{};
    ui.ShowUI = show ? TW_TRUE_ALLBITS : 0;
    ui.ModalUI = 0;
    ui.hParent = M.ParentWindow;
    TWCheckDSM(TWCallDSM(&M.SourceIdentity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui),
               QStringLiteral("TWEnableDS"));
    M.DSEnabled = true;
}

void TWDisableDS() {
    TW_ASSERT(M.DSOpen, "DS must be open");
    if (!M.DSEnabled)
        return;
    TW_USERINTERFACE ui{};
    ui.ShowUI = TW_TRUE_ALLBITS;
    ui.ModalUI = 0;
    ui.hParent = M.ParentWindow;
    TWCheckDSM(TWCallDSM(&M.SourceIdentity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui),
               QStringLiteral("TWDisableDS"));
    M.DSEnabled = false;
}

void TWCloseDS() {
    TW_ASSERT(M.DSMOpen, "DSM must be open");
    if (!M.DSOpen)
        return;
    TWCheckDSM(TWCallDSM(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &M.SourceIdentity),
               QStringLiteral("TWCloseDS"));
    M.DSOpen = false;
}

void TWCloseDSM() {
    if (M.DSOpen)
        throw ETwainError(
            QStringLiteral("Cannot Close Source Manager: A Source is Currently Open"));
    if (!M.DSMOpen)
        return;
    TWCheckDSM(TWCallDSM(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &M.ParentWindow),
               QStringLiteral("TWCloseDSM"));
    M.DSMOpen = false;
    TWUnloadDSM();
}

bool TWProcessMessage(QEvent* event) {
    if (!M.DSMOpen || !M.DSOpen)
        return false;
    TW_EVENT twEvent{};
    twEvent.pEvent = event;
    twEvent.TWMessage = MSG_NULL;
    const TW_UINT16 rc = TWCallDS(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twEvent);
    switch (twEvent.TWMessage) {
    case MSG_XFERREADY:
        TWTransferReady();
        TWDisableDS();
        TWCloseDS();
        break;
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
        TWDisableDS();
        TWCloseDS();
        break;
    default:
        break;
    }
    return rc != TWRC_NOTDSEVENT;
}

TW_UINT16 TWCallDSM(TW_IDENTITY* pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                    TW_MEMREF pData) {
    TW_ASSERT(M.DSM_Entry != nullptr, "Assertion failure");
    return M.DSM_Entry(&M.AppIdentity, pDest, DG, DAT, MSG, pData);
}

TW_UINT16 TWCallDS(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData) {
    TW_ASSERT(M.DSM_Entry != nullptr, "Assertion failure");
    return M.DSM_Entry(&M.AppIdentity, &M.SourceIdentity, DG, DAT, MSG, pData);
}

namespace {

[[noreturn]] void RaiseCode(TW_UINT16 rc, const QString& label) {
    throw ETwainError(QString::asprintf("DSM Call failed in %s: Code %.04X",
                                        label.toUtf8().constData(), unsigned(rc)));
}

[[noreturn]] void RaiseStatus(TW_IDENTITY* pDest, const char* format, const QString& label) {
    TW_ASSERT(M.DSM_Entry != nullptr, "Assertion failure");
    TW_STATUS status{};
    if (M.DSM_Entry(&M.AppIdentity, pDest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) !=
        TWRC_SUCCESS)
        throw ETwainError(QStringLiteral("Can't get Status"));
    throw ETwainError(
        QString::asprintf(format, label.toUtf8().constData(),
                          TWConditionText(status.ConditionCode).toUtf8().constData()));
}

} // namespace

void TWCheckDSM(TW_UINT16 rc, const QString& label) {
    if (rc == TWRC_SUCCESS)
        return;
    if (rc == TWRC_FAILURE)
        TWRaiseDSMStatus(label);
    RaiseCode(rc, label);
}

void TWCheckDS(TW_UINT16 rc, const QString& label) {
    if (rc == TWRC_SUCCESS)
        return;
    if (rc == TWRC_FAILURE)
        TWRaiseDSStatus(label);
    RaiseCode(rc, label);
}

void TWRaiseDSMStatus(const QString& label) {
    RaiseStatus(nullptr, "DSM Error at %s:\r%s", label);
}

void TWRaiseDSStatus(const QString& label) {
    RaiseStatus(&M.SourceIdentity, "DS Error at %s:\r%s", label);
}

QString TWConditionText(TW_UINT16 code) {
    switch (code) {
    case TWCC_SUCCESS:
        return QStringLiteral("Operation worked.");
    case TWCC_BUMMER:
        return QStringLiteral("General failure. Unload Source immediately.");
    case TWCC_LOWMEMORY:
        return QStringLiteral("Not enough memory to complete operation.");
    case TWCC_NODS:
        return QStringLiteral("Source Manager unable to find the specified Source.");
    case TWCC_MAXCONNECTIONS:
        return QStringLiteral("Source is connected to maximum supported number of applications.");
    case TWCC_OPERATIONERROR:
        return QStringLiteral("Source or Source Manager reported an error to the\ruser and handled "
                              "the error; no application action required.");
    case TWCC_BADCAP:
        return QStringLiteral("Capability not supported by Source or operation (get,\rset) is not "
                              "supported on capability, or capability had\rdependencies on other "
                              "capabilities and cannot be\roperated upon at this time");
    case TWCC_BADPROTOCOL:
        return QStringLiteral("Unrecognized operation triplet.");
    case TWCC_BADVALUE:
        return QStringLiteral("Data parameter out of supported range.");
    case TWCC_SEQERROR:
        return QStringLiteral("Illegal operation for current Source Manager\rSource state.");
    case TWCC_BADDEST:
        return QStringLiteral("Unknown destination in DSM_Entry.");
    case TWCC_CAPUNSUPPORTED:
        return QStringLiteral("Capability not supported by Source.");
    case TWCC_CAPBADOPERATION:
        return QStringLiteral("Operation not supported on capability.");
    case TWCC_CAPSEQERROR:
        return QStringLiteral("Capability has dependencies on other capabilities and \rcannot be "
                              "operated upon at this time.");
    case TWCC_DENIED:
        return QStringLiteral("File System operation is denied (file is protected).");
    case TWCC_FILEEXISTS:
        return QStringLiteral("Operation failed because file already exists.");
    case TWCC_FILENOTFOUND:
        return QStringLiteral("File not found.");
    case TWCC_NOTEMPTY:
        return QStringLiteral("Operation failed because directory is not empty.");
    case TWCC_PAPERJAM:
    case TWCC_PAPERDOUBLEFEED:
        return QStringLiteral("Transfer failed because of a feeder error");
    default:
        return QString::asprintf("Unknown Condition %.04X", unsigned(code));
    }
}

// --- Acquisition -----------------------------------------------------------

void TWSetXferMech(TTransferKind kind) {
    TW_UINT32 mech = TWSX_FILE;
    switch (kind) {
    case TTransferKind::Native:
        mech = TWSX_NATIVE;
        break;
    case TTransferKind::Memory:
        mech = TWSX_MEMORY;
        break;
    case TTransferKind::File:
        mech = TWSX_FILE;
        break;
    }
    // The container is a fixed malloc'd block on this platform (see Twain.h).
    auto* container = static_cast<TW_ONEVALUE*>(std::calloc(1, sizeof(TW_ONEVALUE)));
    TW_ASSERT(container != nullptr, "Assertion failure");
    container->ItemType = TWTY_UINT16;
    container->Item = mech;
    TW_CAPABILITY cap{};
    cap.Cap = ICAP_XFERMECH;
    cap.ConType = TWON_ONEVALUE;
    cap.hContainer = container;
    TW_UINT16 rc = TWRC_FAILURE;
    try {
        rc = TWCallDS(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
    } catch (...) {
        std::free(container);
        throw;
    }
    std::free(container);
    TWCheckDS(rc, QStringLiteral("Set Xfer Mech"));
}

void TWSetupFileXfer(const QString& fileName) {
    const QByteArray name = QFile::encodeName(fileName);
    if (name.size() >= qsizetype(sizeof(TW_STR255)))
        throw ETwainError(
            QString::asprintf("Scan file name longer than 255 characters: %s", name.constData()));
    TW_SETUPFILEXFER setup{};
    std::memcpy(setup.FileName, name.constData(), size_t(name.size()));
    setup.Format = TWFF_BMP;
    setup.VRefNum = 0;
    M.TransferFile = fileName;
    TWCheckDS(TWCallDS(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup),
              QStringLiteral("Setup File Xfer"));
}

TW_UINT16 TWFileTransfer() {
    return TWCallDS(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
}

void TWTransferReady() {
    const TW_UINT16 rc = TWFileTransfer();
    switch (rc) {
    case TWRC_XFERDONE:
        M.TransferDone = true;
        // Nobody waits for a file outside an acquisition (a Source left
        // enabled by an earlier error): do not leave it behind.
        if (M.AcquireDepth == 0 && !M.TransferFile.isEmpty())
            QFile::remove(M.TransferFile);
        break;
    case TWRC_CANCEL:
        M.TransferDone = false;
        break;
    case TWRC_FAILURE:
        TWRaiseDSMStatus(QStringLiteral("File Transfer"));
    default:
        break;
    }
    TW_PENDINGXFERS pending{};
    TWCheckDS(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending),
              QStringLiteral("Check for Pending Transfers"));
    if (pending.Count != 0)
        TWCheckDS(TWCallDS(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending),
                  QStringLiteral("Abort Pending Transfers"));
}

bool TWAcquireToFile(TW_HANDLE window, const QString& fileName) {
    M.TransferDone = false;
    if (QFile::encodeName(fileName).size() >= qsizetype(sizeof(TW_STR255)))
        throw ETwainError(QString::asprintf("Scan file name longer than 255 characters: %s",
                                            QFile::encodeName(fileName).constData()));
    const bool existed = QFileInfo::exists(fileName);
    // Whatever a cancelled or failed acquisition left in a file of ours goes.
    struct TCleanup {
        const QString& Name;
        bool Keep;
        bool Existed;
        ~TCleanup() {
            if (!Keep && !Existed)
                QFile::remove(Name);
        }
    } cleanup{fileName, false, existed};

    TWOpenDSM(window);
    TWOpenDS();
    TWSetXferMech(TTransferKind::File);
    TWSetupFileXfer(fileName);
    TWEnableDS(true);

    ++M.AcquireDepth;
    struct TDepth {
        ~TDepth() { --M.AcquireDepth; }
    } depth;
    while (TWIsDSEnabled()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (M.PendingError) {
            std::exception_ptr e = M.PendingError;
            M.PendingError = nullptr;
            std::rethrow_exception(e);
        }
    }
    cleanup.Keep = M.TransferDone;
    return M.TransferDone;
}

// --- Message hook ----------------------------------------------------------

TTwainMessageHook::TTwainMessageHook(std::function<void(const QString&)> errorBox, QObject* parent)
    : QObject(parent), FErrorBox(std::move(errorBox)) {}

bool TTwainMessageHook::eventFilter(QObject* watched, QEvent* event) {
    try {
        if (TWProcessMessage(event))
            return true;
    } catch (const Exception& e) {
        // Qt cannot carry an exception through its event dispatch: a waiting
        // acquisition rethrows it, otherwise it is shown here.
        if (M.AcquireDepth > 0 && !M.PendingError)
            M.PendingError = std::current_exception();
        else if (FErrorBox)
            FErrorBox(e.message());
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace gd
