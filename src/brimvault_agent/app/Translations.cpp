#include "Translations.h"

#include "agent/Config.h"
#include "agent/log.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace {

void installOne(QTranslator &translator, const QString &fileName, const QString &directory)
{
    if (translator.load(fileName, directory)) {
        QCoreApplication::installTranslator(&translator);
        return;
    }
    QString path = fileName;
    if (!directory.isEmpty())
        path = directory.endsWith(QLatin1Char('/')) ? directory + fileName
                                                    : directory + QLatin1Char('/') + fileName;
    logger::warn(QStringLiteral("Failed to load translation from %1").arg(path));
}

} // namespace

void Translations::install()
{
    const QString locale = QLocale::system().name();
    installOne(qtBase, QStringLiteral("qtbase_") + locale,
               QLibraryInfo::location(QLibraryInfo::TranslationsPath));
    installOne(fallback, config().QT5_TRANSLATE_CONTEXT + QStringLiteral("_en"),
               config().QT5_TRANSLATE_DIR);
    installOne(systemLocale, config().QT5_TRANSLATE_CONTEXT + QLatin1Char('_') + locale,
               config().QT5_TRANSLATE_DIR);
}
