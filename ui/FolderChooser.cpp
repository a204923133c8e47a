#include "ui/FolderChooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "app/Plan.h"
#include "ui/DialogPlacement.h"

namespace koruvan::ui {

QString BrowseStartFolder(const QString& saveFolder) {
    const QString ownName = QString::fromUtf8(
        app::kDefaultFolderName.data(), static_cast<qsizetype>(app::kDefaultFolderName.size()));
    QString folder = QDir::cleanPath(saveFolder);
    if (QFileInfo(folder).fileName() == ownName) {
        folder = QFileInfo(folder).path();
    }
    while (!folder.isEmpty() && QDir::isAbsolutePath(folder) && !QFileInfo(folder).isDir()) {
        const QString up = QFileInfo(folder).path();
        if (up == folder) {
            break;
        }
        folder = up;
    }
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder) || !QFileInfo(folder).isDir()) {
        return QDir::homePath();
    }
    return folder;
}

std::optional<QString> ChooseFolder(QWidget* owner, const QString& title,
                                    const QString& saveFolder) {
    QFileDialog dialog(owner, title, BrowseStartFolder(saveFolder));
    dialog.setObjectName(QStringLiteral("folderChooser"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.selectFile(QString());  // nothing pre-typed: a typed path stands alone
    KeepCentredOn(&dialog, owner);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) {
        return std::nullopt;
    }
    return QDir::cleanPath(chosen.front());
}

}  // namespace koruvan::ui
