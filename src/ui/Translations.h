#pragma once

class QTranslator;

namespace gd {

// Qt's own texts (file, print and progress dialogs, standard buttons) in
// Russian, as the rest of the window: Qt's qtbase_ru.qm from its translations
// folder (Debian's qt6-translations-l10n). Returns the installed translator,
// owned by the application (deleting it uninstalls it), or nullptr when the
// file is missing.
QTranslator* InstallQtRussian();

} // namespace gd
