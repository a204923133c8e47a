// The save-folder browser: Qt's own folder dialog (so it speaks the window's language on any
// desktop), centred on the window, opening in the folder the download folder was placed in
// and with an empty name box, so that a typed path is taken as it is.
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace koruvan::ui {

// The folder the browser opens in for the shown save folder: the folder the user chose last
// (the save folder without the download folder's own name), else its nearest existing
// ancestor, else the home folder.
[[nodiscard]] QString BrowseStartFolder(const QString& saveFolder);

// Shows the browser modally over `owner`; the chosen folder, nullopt when cancelled.
[[nodiscard]] std::optional<QString> ChooseFolder(QWidget* owner, const QString& title,
                                                  const QString& saveFolder);

}  // namespace koruvan::ui
