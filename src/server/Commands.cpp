// The server's command table and what each command does.
#include "DocServer.h"

#include "common/DocNames.h"

#include <QFile>
#include <optional>

namespace gd {

namespace {

// The document name a command names, when it may reach the file system: a
// bare file name (or, where allowed, an empty one).
std::optional<QString> DocArgument(const QByteArray& item, bool emptyAllowed) {
    const QString name = FromCp1251(ItemValue(item));
    if (name.isEmpty() ? !emptyAllowed : !IsSafeDocName(name))
        return std::nullopt;
    return name;
}

} // namespace

const TDocServer::TCommandEntry* TDocServer::FindCommand(QByteArrayView keyword) {
    static const TCommandEntry table[] = {
        {"TEST", TCommand::Test, true, &TDocServer::ExecuteTest},
        {"PRINT", TCommand::Print, true, &TDocServer::ExecutePrint},
        {"SHOW", TCommand::Show, false, &TDocServer::ExecuteShow},
        {"EDIT", TCommand::Edit, false, &TDocServer::ExecuteEdit},
        {"DELETE", TCommand::Delete, false, &TDocServer::ExecuteDelete},
        {"HIDE", TCommand::Hide, false, &TDocServer::ExecuteHide},
        {"EXIT", TCommand::Exit, false, &TDocServer::ExecuteExit},
    };
    QByteArray upper = keyword.toByteArray();
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (const TCommandEntry& entry : table)
        if (upper == entry.Keyword)
            return &entry;
    return nullptr;
}

bool TDocServer::ExecuteCommand(TMarkPair& pair) {
    pair.Mark = kMarkFailed;
    const QList<QByteArray> items = SplitCommand(pair.Line);
    const TCommandEntry* entry = FindCommand(ItemName(items.first()));
    if (!entry || (!ClientBound() && !entry->InFolderMode))
        return false;
    return (this->*entry->Execute)(items, pair);
}

bool TDocServer::ExecuteTest(const QList<QByteArray>&, TMarkPair& pair) {
    pair.Mark = kMarkDone;
    return false;
}

bool TDocServer::ExecutePrint(const QList<QByteArray>& items, TMarkPair& pair) {
    const auto name = DocArgument(items.first(), false);
    IDocPrinter* printer = FHost.DocPrinter();
    if (!printer || !name)
        return false;
    const QString path = DocFile(*name);
    if (!DocFileInFolder(DocFolder(), path))
        return false;
    pair.Mark = ExecutePrintCommand(*printer, *name, path, FromCp1251(ParamValue(items, "COPIES")));
    return false;
}

bool TDocServer::ExecuteShow(const QList<QByteArray>& items, TMarkPair& pair) {
    return ShowDocument(items, pair, false);
}

bool TDocServer::ExecuteEdit(const QList<QByteArray>& items, TMarkPair& pair) {
    return ShowDocument(items, pair, true);
}

bool TDocServer::ShowDocument(const QList<QByteArray>& items, TMarkPair& pair, bool edit) {
    // Nobody could look at the document or switch the server on again.
    if (!FHost.HasUser())
        return false;
    // SHOW without a name empties the view; EDIT needs one.
    const auto name = DocArgument(items.first(), true);
    if (!name || (!name->isEmpty() && !DocFileInFolder(DocFolder(), DocFile(*name))))
        return false;
    FNamed = !name->isEmpty();
    if (edit && !FNamed) {
        FHost.NameDocument(QString()); // the name is set first, then EDIT is refused
        return false;
    }
    const bool opened = FHost.ShowDocument(*name);
    if (!FNamed) {
        pair.Mark = kMarkDone;
        return false;
    }
    pair.Mark = kMarkTaken;
    SetHeldCommand(pair.Line, edit, opened);
    return true;
}

bool TDocServer::ExecuteDelete(const QList<QByteArray>& items, TMarkPair& pair) {
    const auto name = DocArgument(items.first(), false);
    if (!name)
        return false;
    FNamed = true;
    FHost.NameDocument(*name);
    if (QFile::remove(DocFile(*name)))
        pair.Mark = kMarkDone;
    return false;
}

bool TDocServer::ExecuteHide(const QList<QByteArray>&, TMarkPair& pair) {
    FNamed = false;
    FHost.HideDocument();
    pair.Mark = kMarkDone;
    return false;
}

bool TDocServer::ExecuteExit(const QList<QByteArray>&, TMarkPair& pair) {
    FExitRequest = true;
    pair.Mark = kMarkDone;
    return true;
}

} // namespace gd
