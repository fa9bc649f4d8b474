// The program's TWAIN Source Manager on Linux: DSM_Entry over SANE. Every
// SANE device is a Source. Notifications reach the application as events
// posted to the window it gave (a QWidget*), which the application's hook
// hands back through MSG_PROCESSEVENT.
//
// Automation (tests, unattended runs), read when a Source is enabled/opened:
//   GD_TWAIN_AUTOSCAN=1       the enabled Source scans at once with its settings
//   GD_TWAIN_AUTOSCAN=cancel  the enabled Source asks to be closed at once
//   GD_TWAIN_SANE_OPTIONS="name=value;..."  SANE options set when a Source opens

#include "scanning/Twain.h"
#include "scanning/dsm/SaneSource.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <link.h>
#include <memory>
#include <vector>

using namespace twain;
using gddsm::TSaneDevice;
using gddsm::TScanMode;

namespace {

// A notification for the application; Generation ties it to one enabling.
class TNotifyEvent : public QEvent {
public:
    TNotifyEvent(QEvent::Type type, TW_UINT16 msg, unsigned generation)
        : QEvent(type), Msg(msg), Generation(generation) {}
    TW_UINT16 Msg;
    unsigned Generation;
};

QEvent::Type NotifyType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

struct TDevice {
    QByteArray Name;
    QByteArray Vendor;
    QByteArray Model;
    TW_UINT32 Id = 0;
};

class TScanDialog;

struct TSource {
    TW_IDENTITY Identity{};
    TSaneDevice Device;
    int State = 4;
    TW_UINT16 Condition = TWCC_SUCCESS;
    TW_UINT16 XferMech = TWSX_NATIVE;
    QByteArray FileName;
    TW_UINT16 FileFormat = TWFF_BMP;
    bool ShowUI = false;
    QPointer<QObject> Target;
    QPointer<TScanDialog> Dialog;
    unsigned Generation = 0;
    TW_UINT16 Pending = 0;
    bool LastDone = false;
};

struct TManager {
    bool Open = false;
    TW_HANDLE Parent = nullptr;
    TW_UINT16 Condition = TWCC_SUCCESS;
    TW_UINT32 NextId = 1;
    std::deque<TDevice> Devices; // stable addresses while it grows
    std::unique_ptr<TSource> Source;
};

TManager G;

void CopyText(TW_STR32& field, const QByteArray& text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text.constData(), sizeof field - 1);
}

TW_UINT16 Fail(TW_UINT16 condition) {
    G.Condition = condition;
    return TWRC_FAILURE;
}

// A Source's failure is also the manager's last condition: the manager and its
// Sources are one component, and the caller may ask either.
TW_UINT16 FailDS(TSource& s, TW_UINT16 condition) {
    s.Condition = condition;
    G.Condition = condition;
    return TWRC_FAILURE;
}

const TDevice& Remember(const SANE_Device* d) {
    for (const TDevice& known : G.Devices)
        if (known.Name == d->name)
            return known;
    G.Devices.push_back({QByteArray(d->name), QByteArray(d->vendor ? d->vendor : ""),
                         QByteArray(d->model ? d->model : ""), G.NextId++});
    return G.Devices.back();
}

void FillIdentity(TW_IDENTITY& id, const TDevice& d) {
    std::memset(&id, 0, sizeof id);
    id.Id = d.Id;
    id.Version.MajorNum = 1;
    id.Version.MinorNum = 0;
    id.Version.Language = TWLG_USA;
    id.Version.Country = TWCY_USA;
    CopyText(id.Version.Info, QByteArrayLiteral("SANE device"));
    id.ProtocolMajor = 1;
    id.ProtocolMinor = 7;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE;
    CopyText(id.Manufacturer, d.Vendor);
    CopyText(id.ProductFamily, d.Model);
    CopyText(id.ProductName, d.Name);
}

std::vector<const TDevice*> ListDevices(bool localOnly) {
    const SANE_Device** list = nullptr;
    std::vector<const TDevice*> out;
    if (sane_get_devices(&list, localOnly ? SANE_TRUE : SANE_FALSE) != SANE_STATUS_GOOD || !list)
        return out;
    std::vector<QByteArray> names;
    for (const SANE_Device** d = list; *d; ++d)
        names.push_back(Remember(*d).Name);
    for (const QByteArray& n : names)
        for (const TDevice& known : G.Devices)
            if (known.Name == n)
                out.push_back(&known);
    return out;
}

const TDevice* FindDevice(const TW_IDENTITY& id) {
    const QByteArray name(id.ProductName, qstrnlen(id.ProductName, sizeof id.ProductName));
    for (const TDevice& d : G.Devices)
        if (id.Id != 0 && d.Id == id.Id)
            return &d;
    for (int pass = 0; pass < 2; ++pass) {
        for (const TDevice& d : G.Devices)
            if (!name.isEmpty() && d.Name.left(sizeof id.ProductName - 1) == name)
                return &d;
        if (pass == 0)
            ListDevices(false);
    }
    return nullptr;
}

void Post(TSource& s, TW_UINT16 msg) {
    QObject* target = s.Target ? s.Target.data() : QCoreApplication::instance();
    QCoreApplication::postEvent(target, new TNotifyEvent(NotifyType(), msg, s.Generation));
}

// --- Dialogs ---------------------------------------------------------------

QString DeviceText(const TDevice& d) {
    return QStringLiteral("%1 %2 (%3)")
        .arg(QString::fromUtf8(d.Vendor), QString::fromUtf8(d.Model), QString::fromUtf8(d.Name));
}

// The user's choice of Source; the given one is preselected.
class TSelectDialog : public QDialog {
public:
    TSelectDialog(QWidget* parent, const std::vector<const TDevice*>& devices, TW_UINT32 current)
        : QDialog(parent) {
        setObjectName(QStringLiteral("TwainSelectSource"));
        setWindowTitle(QStringLiteral("Выбор источника"));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel(QStringLiteral("Источники:"), this));
        List = new QListWidget(this);
        List->setObjectName(QStringLiteral("lstSources"));
        for (const TDevice* d : devices) {
            auto* item = new QListWidgetItem(DeviceText(*d), List);
            item->setData(Qt::UserRole, d->Id);
            if (d->Id == current)
                List->setCurrentItem(item);
        }
        if (!List->currentItem() && List->count() > 0)
            List->setCurrentRow(0);
        layout->addWidget(List);
        auto* buttons = new QDialogButtonBox(this);
        buttons->addButton(QStringLiteral("Выбрать"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(List, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
        layout->addWidget(buttons);
    }
    QListWidget* List;
};

// The Source's own scanning dialog, not modal: Scan reports a transfer ready,
// Cancel (or closing it) asks the application to close the Source.
class TScanDialog : public QDialog {
public:
    TScanDialog(QWidget* parent, TSource& source, const TDevice* device)
        : QDialog(parent), FSource(source) {
        setObjectName(QStringLiteral("TwainScanDialog"));
        setWindowTitle(QStringLiteral("Сканирование"));
        setModal(false);
        auto* form = new QFormLayout(this);
        auto* lblDevice = new QLabel(
            device ? DeviceText(*device) : QString::fromUtf8(source.Device.Name()), this);
        lblDevice->setObjectName(QStringLiteral("lblDevice"));
        form->addRow(QStringLiteral("Устройство:"), lblDevice);
        cbxMode = new QComboBox(this);
        cbxMode->setObjectName(QStringLiteral("cbxMode"));
        for (TScanMode m : source.Device.Modes())
            cbxMode->addItem(m == TScanMode::Colour ? QStringLiteral("Цветной")
                             : m == TScanMode::Gray ? QStringLiteral("Оттенки серого")
                                                    : QStringLiteral("Черно-белый"),
                             int(m));
        cbxMode->setCurrentIndex(std::max(0, cbxMode->findData(int(source.Device.Mode()))));
        form->addRow(QStringLiteral("Режим:"), cbxMode);
        cbxResolution = new QComboBox(this);
        cbxResolution->setObjectName(QStringLiteral("cbxResolution"));
        for (int dpi : source.Device.Resolutions())
            cbxResolution->addItem(QString::number(dpi), dpi);
        cbxResolution->setCurrentIndex(
            std::max(0, cbxResolution->findData(source.Device.Resolution())));
        form->addRow(QStringLiteral("Разрешение (точек/дюйм):"), cbxResolution);
        auto* buttons = new QDialogButtonBox(this);
        btnScan = buttons->addButton(QStringLiteral("Сканировать"), QDialogButtonBox::AcceptRole);
        btnScan->setObjectName(QStringLiteral("btnScan"));
        buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
        connect(buttons, &QDialogButtonBox::accepted, this, [this] { Scan(); });
        connect(buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
        form->addRow(buttons);
    }

    void Scan() {
        if (FSource.State != 5)
            return;
        // A network scanner that has gone fails the transfer that follows.
        if (cbxMode->count() > 0 && FSource.Device.Reachable())
            FSource.Device.SetMode(TScanMode(cbxMode->currentData().toInt()));
        if (cbxResolution->count() > 0)
            FSource.Device.SetResolution(cbxResolution->currentData().toInt());
        setEnabled(false);
        FSource.State = 6;
        FSource.Pending = 1;
        Post(FSource, MSG_XFERREADY);
    }

    // Scan needs state 5: after a failed transfer the Source waits in state
    // 6 for the application to end it, and only Cancel works until then.
    void SourceReady() {
        setEnabled(true);
        btnScan->setEnabled(FSource.State == 5);
    }

    void reject() override {
        if (FSource.State == 6 || FSource.State == 5) {
            // A transfer that is ready but not taken (or that failed) is
            // dropped: the Source goes back to state 5 and asks to be closed.
            FSource.Device.Cancel();
            FSource.Pending = 0;
            FSource.State = 5;
            ++FSource.Generation;
            Post(FSource, MSG_CLOSEDSREQ);
        }
        hide();
    }

private:
    TSource& FSource;
    QComboBox* cbxMode;
    QComboBox* cbxResolution;
    QPushButton* btnScan;
};

void DropDialog(TSource& s) {
    if (s.Dialog) {
        s.Dialog->hide();
        delete s.Dialog.data();
    }
}

QWidget* AsWidget(TW_HANDLE h) {
    return static_cast<QWidget*>(h);
}

// --- Source Manager triplets -----------------------------------------------

TW_UINT16 OpenDSM(TW_IDENTITY* origin, TW_MEMREF data) {
    if (G.Open)
        return Fail(TWCC_SEQERROR);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || !origin)
        return Fail(TWCC_BUMMER);
    // SANE's net backend writes to its saned connection with write(): a saned
    // that has gone would end the whole program with SIGPIPE instead of
    // failing the call with EPIPE. A handler the program set is kept.
    struct sigaction pipe {};
    if (::sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
    SANE_Int version = 0;
    if (sane_init(&version, nullptr) != SANE_STATUS_GOOD)
        return Fail(TWCC_BUMMER);
    G.Open = true;
    G.Parent = data ? *static_cast<TW_HANDLE*>(data) : nullptr;
    G.Condition = TWCC_SUCCESS;
    origin->Id = 1;
    return TWRC_SUCCESS;
}

// SANE's backends keep memory they never free in their own statics (their
// configuration paths); unmapping them at sane_exit() would turn that into
// leaks and reload them at every opening. Keep the loaded ones mapped.
void PinSaneBackends() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "/sane/libsane-"))
                ::dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

TW_UINT16 CloseDSM() {
    if (!G.Open || G.Source)
        return Fail(TWCC_SEQERROR);
    PinSaneBackends();
    G.Devices.clear();
    G.NextId = 1;
    G.Open = false;
    G.Parent = nullptr;
    sane_exit();
    return TWRC_SUCCESS;
}

// The first local device. Network discovery may take seconds (bounded by the
// net backend's connect_timeout), so the network is asked only where there is
// no local device: an office whose scanners are all shared by saned.
const TDevice* DefaultDevice() {
    std::vector<const TDevice*> devices = ListDevices(true);
    if (devices.empty())
        devices = ListDevices(false);
    return devices.empty() ? nullptr : devices.front();
}

TW_UINT16 GetDefault(TW_IDENTITY* id) {
    if (!G.Open)
        return Fail(TWCC_SEQERROR);
    if (!id)
        return Fail(TWCC_BADVALUE);
    const TDevice* device = DefaultDevice();
    if (!device)
        return Fail(TWCC_NODS);
    FillIdentity(*id, *device);
    return TWRC_SUCCESS;
}

TW_UINT16 UserSelect(TW_IDENTITY* id) {
    if (!G.Open || G.Source)
        return Fail(TWCC_SEQERROR);
    if (!id)
        return Fail(TWCC_BADVALUE);
    const std::vector<const TDevice*> devices = ListDevices(false);
    if (devices.empty())
        return Fail(TWCC_NODS);
    const TDevice* current = FindDevice(*id);
    TSelectDialog dlg(AsWidget(G.Parent), devices, current ? current->Id : 0);
    if (dlg.exec() != QDialog::Accepted || !dlg.List->currentItem())
        return TWRC_CANCEL;
    const TW_UINT32 chosen = dlg.List->currentItem()->data(Qt::UserRole).toUInt();
    for (const TDevice& d : G.Devices)
        if (d.Id == chosen) {
            FillIdentity(*id, d);
            return TWRC_SUCCESS;
        }
    return Fail(TWCC_NODS);
}

TW_UINT16 OpenDS(TW_IDENTITY* id) {
    if (!G.Open)
        return Fail(TWCC_SEQERROR);
    if (!id)
        return Fail(TWCC_BADVALUE);
    if (G.Source)
        return Fail(TWCC_MAXCONNECTIONS);
    const TDevice* device = nullptr;
    if (id->Id == 0 && id->ProductName[0] == 0) {
        device = DefaultDevice();
    } else {
        device = FindDevice(*id);
    }
    if (!device)
        return Fail(TWCC_NODS);
    auto source = std::make_unique<TSource>();
    const SANE_Status st = source->Device.Open(device->Name);
    if (st != SANE_STATUS_GOOD)
        return Fail(gddsm::ConditionOf(st));
    const QString options = qEnvironmentVariable("GD_TWAIN_SANE_OPTIONS");
    if (!options.isEmpty() && source->Device.SetOptions(options) != SANE_STATUS_GOOD)
        return Fail(TWCC_BADVALUE);
    FillIdentity(*id, *device);
    source->Identity = *id;
    G.Source = std::move(source);
    return TWRC_SUCCESS;
}

TW_UINT16 CloseDS(TW_IDENTITY* id) {
    if (!G.Open || !G.Source || (id && id->Id != G.Source->Identity.Id))
        return Fail(G.Source ? TWCC_BADDEST : TWCC_SEQERROR);
    if (G.Source->State != 4)
        return FailDS(*G.Source, TWCC_SEQERROR);
    DropDialog(*G.Source);
    G.Source.reset();
    return TWRC_SUCCESS;
}

TW_UINT16 Status(TW_UINT16& condition, TW_MEMREF data) {
    if (!data)
        return TWRC_FAILURE;
    auto* status = static_cast<TW_STATUS*>(data);
    status->ConditionCode = condition;
    status->Reserved = 0;
    condition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

// --- Source triplets -------------------------------------------------------

TW_UINT16 EnableDS(TSource& s, TW_USERINTERFACE* ui) {
    if (s.State != 4)
        return FailDS(s, TWCC_SEQERROR);
    if (!ui)
        return FailDS(s, TWCC_BADVALUE);
    s.ShowUI = ui->ShowUI != 0;
    QWidget* parent = AsWidget(ui->hParent ? ui->hParent : G.Parent);
    s.Target = parent;
    ++s.Generation;
    s.State = 5;
    s.Pending = 0;
    const QByteArray autoscan = qgetenv("GD_TWAIN_AUTOSCAN").toLower();
    const TDevice* device = FindDevice(s.Identity);
    if (s.ShowUI) {
        s.Dialog = new TScanDialog(parent, s, device);
        s.Dialog->show();
        if (autoscan == "1" || autoscan == "scan")
            s.Dialog->Scan();
        else if (autoscan == "cancel")
            s.Dialog->reject();
    } else if (autoscan == "cancel") {
        Post(s, MSG_CLOSEDSREQ);
    } else {
        // Without a user interface the Source scans at once.
        s.State = 6;
        s.Pending = 1;
        Post(s, MSG_XFERREADY);
    }
    return TWRC_SUCCESS;
}

TW_UINT16 DisableDS(TSource& s) {
    if (s.State != 5)
        return FailDS(s, TWCC_SEQERROR);
    DropDialog(s);
    s.Device.Cancel();
    ++s.Generation; // notifications still queued are stale now
    s.State = 4;
    return TWRC_SUCCESS;
}

TW_UINT16 ProcessEvent(TSource& s, TW_EVENT* ev) {
    if (!ev)
        return FailDS(s, TWCC_BADVALUE);
    ev->TWMessage = MSG_NULL;
    auto* event = static_cast<QEvent*>(ev->pEvent);
    // Outside states 5 to 7 nothing of the Source is in the queue.
    if (s.State < 5 || !event || event->type() != NotifyType())
        return TWRC_NOTDSEVENT;
    const auto* notify = static_cast<TNotifyEvent*>(event);
    if (notify->Generation == s.Generation)
        ev->TWMessage = notify->Msg;
    return TWRC_DSEVENT;
}

TW_UINT16 Capability(TSource& s, TW_UINT16 msg, TW_CAPABILITY* cap) {
    if (!cap)
        return FailDS(s, TWCC_BADVALUE);
    if (cap->Cap != ICAP_XFERMECH)
        return FailDS(s, TWCC_CAPUNSUPPORTED);
    if (msg == MSG_GET || msg == MSG_GETCURRENT) {
        auto* one = static_cast<TW_ONEVALUE*>(std::calloc(1, sizeof(TW_ONEVALUE)));
        if (!one)
            return FailDS(s, TWCC_LOWMEMORY);
        one->ItemType = TWTY_UINT16;
        one->Item = s.XferMech;
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = one; // the caller frees it
        return TWRC_SUCCESS;
    }
    if (msg != MSG_SET)
        return FailDS(s, TWCC_CAPBADOPERATION);
    if (s.State != 4)
        return FailDS(s, TWCC_SEQERROR);
    if (cap->ConType != TWON_ONEVALUE || !cap->hContainer)
        return FailDS(s, TWCC_BADVALUE);
    const auto* one = static_cast<const TW_ONEVALUE*>(cap->hContainer);
    if (one->ItemType != TWTY_UINT16 || (one->Item != TWSX_FILE && one->Item != TWSX_NATIVE))
        return FailDS(s, TWCC_BADVALUE);
    s.XferMech = TW_UINT16(one->Item);
    return TWRC_SUCCESS;
}

TW_UINT16 SetupFileXfer(TSource& s, TW_UINT16 msg, TW_SETUPFILEXFER* setup) {
    if (!setup)
        return FailDS(s, TWCC_BADVALUE);
    if (msg == MSG_GET) {
        std::memset(setup, 0, sizeof *setup);
        std::memcpy(setup->FileName, s.FileName.constData(), size_t(s.FileName.size()));
        setup->Format = s.FileFormat;
        return TWRC_SUCCESS;
    }
    if (msg != MSG_SET)
        return FailDS(s, TWCC_BADPROTOCOL);
    if (s.State < 4 || s.State > 6)
        return FailDS(s, TWCC_SEQERROR);
    const qsizetype len = qstrnlen(setup->FileName, sizeof setup->FileName);
    if (len == 0 || len == qsizetype(sizeof setup->FileName) || setup->Format != TWFF_BMP)
        return FailDS(s, TWCC_BADVALUE);
    s.FileName = QByteArray(setup->FileName, len);
    s.FileFormat = setup->Format;
    return TWRC_SUCCESS;
}

TW_UINT16 FileConditionOf(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
        return TWCC_DENIED;
    case ENOENT:
    case ENOTDIR:
        return TWCC_FILENOTFOUND;
    case ENOMEM:
        return TWCC_LOWMEMORY;
    default:
        return TWCC_BUMMER;
    }
}

TW_UINT16 ImageFileXfer(TSource& s) {
    if (s.State != 6 || s.XferMech != TWSX_FILE || s.FileName.isEmpty())
        return FailDS(s, TWCC_SEQERROR);
    s.LastDone = false;
    gddsm::TScanImage image;
    const SANE_Status st = s.Device.ReadImage(image);
    if (st == SANE_STATUS_CANCELLED) {
        s.Device.Cancel();
        QFile::remove(QFile::decodeName(s.FileName));
        s.State = 7;
        return TWRC_CANCEL;
    }
    // A failed transfer stays in state 6; the dialog is usable again so the
    // user can still close the Source (Scan waits for state 5).
    if (st != SANE_STATUS_GOOD) {
        s.Device.Cancel();
        if (s.Dialog)
            s.Dialog->SourceReady();
        return FailDS(s, gddsm::ConditionOf(st));
    }
    const int err = gddsm::WriteBmp(image, QFile::decodeName(s.FileName));
    if (err != 0) {
        s.Device.Cancel();
        if (s.Dialog)
            s.Dialog->SourceReady();
        return FailDS(s, FileConditionOf(err));
    }
    s.LastDone = true;
    s.State = 7;
    return TWRC_XFERDONE;
}

TW_UINT16 PendingXfers(TSource& s, TW_UINT16 msg, TW_PENDINGXFERS* p) {
    if (!p)
        return FailDS(s, TWCC_BADVALUE);
    switch (msg) {
    case MSG_GET:
        if (s.State < 4)
            return FailDS(s, TWCC_SEQERROR);
        p->Count = s.Pending;
        return TWRC_SUCCESS;
    case MSG_ENDXFER:
        if (s.State != 6 && s.State != 7)
            return FailDS(s, TWCC_SEQERROR);
        // A feeder has another sheet exactly when the next page starts.
        if (s.LastDone && s.Device.StartedFromFeeder() && s.Device.Start() == SANE_STATUS_GOOD) {
            s.Pending = 0xFFFF; // how many more is unknown
            s.State = 6;
        } else {
            s.Device.Cancel();
            s.Pending = 0;
            s.State = 5;
        }
        s.LastDone = false;
        if (s.Dialog)
            s.Dialog->SourceReady();
        p->Count = s.Pending;
        p->EOJ = 0;
        return TWRC_SUCCESS;
    case MSG_RESET:
        if (s.State != 6)
            return FailDS(s, TWCC_SEQERROR);
        s.Device.Cancel();
        s.Pending = 0;
        s.State = 5;
        if (s.Dialog)
            s.Dialog->SourceReady();
        p->Count = 0;
        return TWRC_SUCCESS;
    default:
        return FailDS(s, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 ToSource(TW_IDENTITY* dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (!G.Open)
        return Fail(TWCC_SEQERROR);
    if (!G.Source || dest->Id != G.Source->Identity.Id)
        return Fail(TWCC_BADDEST);
    TSource& s = *G.Source;
    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_STATUS:
            return msg == MSG_GET ? Status(s.Condition, data) : FailDS(s, TWCC_BADPROTOCOL);
        case DAT_USERINTERFACE:
            if (msg == MSG_ENABLEDS)
                return EnableDS(s, static_cast<TW_USERINTERFACE*>(data));
            if (msg == MSG_DISABLEDS)
                return DisableDS(s);
            break;
        case DAT_EVENT:
            if (msg == MSG_PROCESSEVENT)
                return ProcessEvent(s, static_cast<TW_EVENT*>(data));
            break;
        case DAT_CAPABILITY:
            return Capability(s, msg, static_cast<TW_CAPABILITY*>(data));
        case DAT_SETUPFILEXFER:
            return SetupFileXfer(s, msg, static_cast<TW_SETUPFILEXFER*>(data));
        case DAT_PENDINGXFERS:
            return PendingXfers(s, msg, static_cast<TW_PENDINGXFERS*>(data));
        default:
            break;
        }
    } else if (dg == DG_IMAGE && dat == DAT_IMAGEFILEXFER && msg == MSG_GET) {
        return ImageFileXfer(s);
    }
    return FailDS(s, TWCC_BADPROTOCOL);
}

} // namespace

extern "C" __attribute__((visibility("default"))) TW_UINT16
DSM_Entry(TW_IDENTITY* pOrigin, TW_IDENTITY* pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
          TW_MEMREF pData) {
    if (pDest)
        return ToSource(pDest, DG, DAT, MSG, pData);
    if (DG == DG_CONTROL) {
        switch (DAT) {
        case DAT_PARENT:
            if (MSG == MSG_OPENDSM)
                return OpenDSM(pOrigin, pData);
            if (MSG == MSG_CLOSEDSM)
                return CloseDSM();
            break;
        case DAT_IDENTITY: {
            auto* id = static_cast<TW_IDENTITY*>(pData);
            switch (MSG) {
            case MSG_GETDEFAULT:
                return GetDefault(id);
            case MSG_USERSELECT:
                return UserSelect(id);
            case MSG_OPENDS:
                return OpenDS(id);
            case MSG_CLOSEDS:
                return CloseDS(id);
            default:
                break;
            }
            break;
        }
        case DAT_STATUS:
            if (MSG == MSG_GET)
                return Status(G.Condition, pData);
            break;
        default:
            break;
        }
    }
    return Fail(TWCC_BADPROTOCOL);
}
