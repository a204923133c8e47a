// The program speaks Chinese: Qt's own texts (the folder chooser's "Look in", the standard
// buttons of message boxes, the line-edit menu ...) are loaded in the window's language so
// that no standard dialog falls back to English, whatever the desktop's locale.
#pragma once

#include <QLocale>

namespace koruvan::ui {

// The language of every text the window shows.
[[nodiscard]] QLocale WindowLocale();

// Installs Qt's translations for WindowLocale() into the running application, once per
// process (later calls return the first result). False when Qt's translation files are
// missing (the standard dialogs then stay in English; the window still works).
bool InstallQtTranslations();

}  // namespace koruvan::ui
