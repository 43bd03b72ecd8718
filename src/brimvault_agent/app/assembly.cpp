#include "entry.h"

#include "SigTermNotifier.h"
#include "globals.h"

#include "agent/Config.h"
#include "agent/ScriptExecutorThread.h"
#include "agent/log.h"
#include "agent/operations.h"
#include "agent/utils.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTranslator>

#include <csignal>
#include <memory>

namespace app {

namespace {

// Loads and installs one translator; the warn line names the path that was asked for.
void installTranslator(QTranslator &translator, const QString &fileName, const QString &directory)
{
    if (translator.load(fileName, directory)) {
        QCoreApplication::installTranslator(&translator);
        return;
    }
    QString path = fileName;
    if (!directory.isEmpty())
        path = directory.endsWith(QLatin1Char('/')) ? directory + fileName : directory + QLatin1Char('/') + fileName;
    logger::warn(QStringLiteral("Failed to load translation from %1").arg(path));
}

} // namespace

int main(Args &args)
{
    std::unique_ptr<QApplication> owned;
    QApplication *application = args.app;
    if (!application) {
        owned = std::make_unique<QApplication>(args.argc, args.argv);
        application = owned.get();
    }

    QCoreApplication::setOrganizationName(config().ORGANIZATION_NAME);
    QCoreApplication::setOrganizationDomain(config().ORGANIZATION_DOMAIN);
    QCoreApplication::setApplicationName(config().APPLICATION_TITLE);

    // Installed last is consulted first: the system locale wins over the English fallback.
    const QString locale = QLocale::system().name();
    QTranslator qtTranslator, fallbackTranslator, defaultTranslator;
    installTranslator(qtTranslator, QStringLiteral("qtbase_") + locale,
                      QLibraryInfo::location(QLibraryInfo::TranslationsPath));
    installTranslator(fallbackTranslator, config().QT5_TRANSLATE_CONTEXT + QStringLiteral("_en"), config().QT5_TRANSLATE_DIR);
    installTranslator(defaultTranslator, config().QT5_TRANSLATE_CONTEXT + QLatin1Char('_') + locale,
                      config().QT5_TRANSLATE_DIR);

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        logger::error(QStringLiteral("I couldn't detect any system tray on this system."));
        return 1;
    }

    QApplication::setQuitOnLastWindowClosed(false);

    std::unique_ptr<BrimvaultSystemTray> tray;
    try {
        tray = std::make_unique<BrimvaultSystemTray>(application);
        trayIcon = tray.get();
    } catch (const std::exception &e) {
        logger::exception();
        logger::error(QString::fromUtf8(e.what()));
        logger::error(QStringLiteral("Brimvault Service is not running, or it can't contact with Brimvault Server. User Tools stopped"));
        return 1;
    }

    try {
        operations::initIdleDuration(57600);
    } catch (const std::exception &e) {
        logger::error(utils::exceptionToMessage(e));
    }

    tray->show();

    SigTermNotifier sigterm;
    QObject::connect(&sigterm, &SigTermNotifier::received, [] { sigTerm(SIGTERM, nullptr); });
    if (!sigterm.install())
        logger::warn(QStringLiteral("SIGTERM handler could not be installed"));

    const int result = QApplication::exec();

    logger::debug(QStringLiteral("Exiting"));
    tray->quit();

    if (doLogoff) {
        try {
            QThread::sleep(1);
            operations::loggoff();
        } catch (...) {
        }
    }

    // Scripts still running would otherwise outlive the threads that watch them.
    ScriptExecutorThread::shutdown(2000);
    trayIcon = nullptr;
    tray.reset(); // waits, bounded, for the link to flush the logout and end
    return result;
}

} // namespace app
