#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "engine/core/base/KoruvanLog.h"

namespace koruvan::ui {
namespace {

constexpr int kLogCategory = 34;

bool Install() {
    QLocale::setDefault(WindowLocale());
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // "qt" pulls in qtbase and the other modules' catalogues; "qtbase" alone where the
    // umbrella file is missing.
    bool loaded = false;
    for (const char* catalogue : {"qt", "qtbase"}) {
        auto* translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(WindowLocale(), QString::fromLatin1(catalogue), QStringLiteral("_"),
                             folder)) {
            QCoreApplication::installTranslator(translator);
            loaded = true;
            break;
        }
        delete translator;
    }
    if (!loaded) {
        engine::WriteLog("Koruvan Utility: Qt's Chinese translations were not found in " +
                             folder.toStdString() + "; standard dialogs stay in English",
                         kLogCategory, kLogCategory);
    }
    return loaded;
}

}  // namespace

QLocale WindowLocale() {
    return QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
}

bool InstallQtTranslations() {
    // Once per process, and only once an application object exists to hold the translator.
    static bool tried = false;
    static bool installed = false;
    if (!tried && QCoreApplication::instance() != nullptr) {
        tried = true;
        installed = Install();
    }
    return installed;
}

}  // namespace koruvan::ui
