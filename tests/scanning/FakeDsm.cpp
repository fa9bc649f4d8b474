// A scripted Source Manager for the session layer's tests: it answers every
// triplet with the return code the test set, logs each call, and can post a
// notification to the window the way the real one does.

#include "scanning/Twain.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QMap>
#include <QObject>
#include <QString>
#include <cstring>

using namespace twain;

namespace {

struct TScript {
    QMap<quint64, TW_UINT16> Results; // triplet -> return code
    TW_UINT16 DSMCondition = TWCC_SUCCESS;
    TW_UINT16 DSCondition = TWCC_SUCCESS;
    TW_UINT16 StatusResult = TWRC_SUCCESS;
    TW_UINT16 EndXferCount = 0;
    TW_UINT16 NotifyOnEnable = MSG_NULL; // posted to hParent at MSG_ENABLEDS
    QByteArray DefaultName = "fake:default";
    QByteArray SelectName = "fake:chosen";
    QByteArray FileName;
    QByteArray Log;
};

TScript S;

quint64 Key(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
    return (quint64(dg) << 32) | (quint64(dat) << 16) | msg;
}

QEvent::Type NotifyType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

class TNotify : public QEvent {
public:
    explicit TNotify(TW_UINT16 msg) : QEvent(NotifyType()), Msg(msg) {}
    TW_UINT16 Msg;
};

void Name(TW_IDENTITY* id, const QByteArray& name) {
    std::memset(id, 0, sizeof *id);
    id->Id = 42;
    std::strncpy(id->ProductName, name.constData(), sizeof id->ProductName - 1);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void FakeDsm_Reset() {
    S = TScript();
}

__attribute__((visibility("default"))) void FakeDsm_SetResult(TW_UINT32 dg, TW_UINT16 dat,
                                                              TW_UINT16 msg, TW_UINT16 rc) {
    S.Results[Key(dg, dat, msg)] = rc;
}

__attribute__((visibility("default"))) void
FakeDsm_SetStatus(TW_UINT16 dsmCondition, TW_UINT16 dsCondition, TW_UINT16 statusResult) {
    S.DSMCondition = dsmCondition;
    S.DSCondition = dsCondition;
    S.StatusResult = statusResult;
}

__attribute__((visibility("default"))) void FakeDsm_SetEndXferCount(TW_UINT16 count) {
    S.EndXferCount = count;
}

__attribute__((visibility("default"))) void FakeDsm_NotifyOnEnable(TW_UINT16 msg) {
    S.NotifyOnEnable = msg;
}

__attribute__((visibility("default"))) void FakeDsm_SetNames(const char* def, const char* chosen) {
    S.DefaultName = def;
    S.SelectName = chosen;
}

__attribute__((visibility("default"))) const char* FakeDsm_Log() {
    return S.Log.constData();
}

__attribute__((visibility("default"))) TW_UINT16 DSM_Entry(TW_IDENTITY* pOrigin, TW_IDENTITY* pDest,
                                                           TW_UINT32 DG, TW_UINT16 DAT,
                                                           TW_UINT16 MSG, TW_MEMREF pData) {
    QByteArray line = QByteArray::number(DG, 16) + '/' + QByteArray::number(DAT, 16) + '/' +
                      QByteArray::number(MSG, 16) + (pDest ? " ds" : " dsm");
    const auto rcOf = [&](TW_UINT16 def) { return S.Results.value(Key(DG, DAT, MSG), def); };
    TW_UINT16 rc = rcOf(TWRC_SUCCESS);
    if (DAT == DAT_STATUS) {
        rc = S.StatusResult;
        static_cast<TW_STATUS*>(pData)->ConditionCode = pDest ? S.DSCondition : S.DSMCondition;
    } else if (DAT == DAT_PARENT && MSG == MSG_OPENDSM) {
        line += " parent=" + QByteArray(*static_cast<void**>(pData) ? "set" : "none");
        line += " origin=" + QByteArray(pOrigin->ProductName);
        if (rc == TWRC_SUCCESS)
            pOrigin->Id = 7;
    } else if (DAT == DAT_IDENTITY && (MSG == MSG_GETDEFAULT || MSG == MSG_USERSELECT)) {
        auto* id = static_cast<TW_IDENTITY*>(pData);
        if (MSG == MSG_USERSELECT)
            line += " preselected=" + QByteArray(id->ProductName);
        if (rc == TWRC_SUCCESS)
            Name(id, MSG == MSG_GETDEFAULT ? S.DefaultName : S.SelectName);
    } else if (DAT == DAT_IDENTITY) {
        line += " source=" + QByteArray(static_cast<TW_IDENTITY*>(pData)->ProductName);
    } else if (DAT == DAT_USERINTERFACE) {
        const auto* ui = static_cast<TW_USERINTERFACE*>(pData);
        line += " ShowUI=" + QByteArray::number(ui->ShowUI, 16).toUpper() +
                " ModalUI=" + QByteArray::number(ui->ModalUI);
        if (MSG == MSG_ENABLEDS && rc == TWRC_SUCCESS && S.NotifyOnEnable != MSG_NULL)
            QCoreApplication::postEvent(static_cast<QObject*>(ui->hParent),
                                        new TNotify(S.NotifyOnEnable));
    } else if (DAT == DAT_CAPABILITY) {
        const auto* cap = static_cast<TW_CAPABILITY*>(pData);
        const auto* one = static_cast<const TW_ONEVALUE*>(cap->hContainer);
        line += " cap=" + QByteArray::number(cap->Cap, 16) +
                " con=" + QByteArray::number(cap->ConType) +
                " type=" + QByteArray::number(one->ItemType) +
                " item=" + QByteArray::number(one->Item);
    } else if (DAT == DAT_SETUPFILEXFER) {
        const auto* setup = static_cast<TW_SETUPFILEXFER*>(pData);
        S.FileName = QByteArray(setup->FileName);
        line += " format=" + QByteArray::number(setup->Format) +
                " vref=" + QByteArray::number(setup->VRefNum);
    } else if (DAT == DAT_IMAGEFILEXFER) {
        rc = rcOf(TWRC_XFERDONE);
        // Like a Source, it has written (part of) the file by then.
        QFile f(QFile::decodeName(S.FileName));
        if (f.open(QIODevice::WriteOnly))
            f.write("BM fake");
    } else if (DAT == DAT_PENDINGXFERS) {
        auto* p = static_cast<TW_PENDINGXFERS*>(pData);
        line += " count=" + QByteArray::number(p->Count);
        if (MSG == MSG_ENDXFER)
            p->Count = S.EndXferCount;
    } else if (DAT == DAT_EVENT) {
        auto* ev = static_cast<TW_EVENT*>(pData);
        auto* event = static_cast<QEvent*>(ev->pEvent);
        if (event->type() == NotifyType()) {
            ev->TWMessage = static_cast<TNotify*>(event)->Msg;
            rc = TWRC_DSEVENT;
        } else {
            rc = rcOf(TWRC_NOTDSEVENT);
        }
        line += " msg=" + QByteArray::number(ev->TWMessage, 16);
    }
    S.Log += line + " -> " + QByteArray::number(rc) + '\n';
    return rc;
}

} // extern "C"
