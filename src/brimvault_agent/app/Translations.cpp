#include "Translations.h"

#include "agent/config/Config.h"
#include "agent/log/log.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace {

// A missing translation is worth a warning only where one could exist: the texts are written in
// English, and C and POSIX name no language at all.
bool needsTranslation(const QString &locale)
{
    return locale != QLatin1String("C") && locale != QLatin1String("POSIX") &&
           !locale.startsWith(QLatin1String("en"));
}

void installOne(QTranslator &translator, const QString &fileName, const QString &directory,
                bool warn = true)
{
    if (translator.load(fileName, directory)) {
        QCoreApplication::installTranslator(&translator);
        return;
    }
    if (!warn)
        return;
    QString path = fileName;
    if (!directory.isEmpty())
        path = directory.endsWith(QLatin1Char('/')) ? directory + fileName
                                                    : directory + QLatin1Char('/') + fileName;
    logger::warn(QStringLiteral("Failed to load translation from %1").arg(path));
}

// Qt's own translations folder, qt6-translations-l10n's under Qt 6: the call is new in Qt 6.
QString qtTranslationsFolder()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

} // namespace

void Translations::install()
{
    const QString locale = QLocale::system().name();
    const bool warn = needsTranslation(locale);
    installOne(qtBase, QStringLiteral("qtbase_") + locale, qtTranslationsFolder(), warn);
    installOne(fallback, config().QT5_TRANSLATE_CONTEXT + QStringLiteral("_en"),
               config().QT5_TRANSLATE_DIR);
    installOne(systemLocale, config().QT5_TRANSLATE_CONTEXT + QLatin1Char('_') + locale,
               config().QT5_TRANSLATE_DIR, warn);
}
