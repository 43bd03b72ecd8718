#include "LogCapture.h"
#include "Needs.h"

#include "agent/config/Config.h"
#include "brimvault_agent/app/Translations.h"
#include "brimvault_agent/app/translate.h"
#include "brimvault_agent/dialogs/About.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"
#include "service_sim/ServerIPC.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <unistd.h>

#if QT_VERSION_MAJOR == 5
#define QT_TRANSLATIONS_PACKAGE "qttranslations5-l10n"
#else
#define QT_TRANSLATIONS_PACKAGE "qt6-translations-l10n"
#endif

// The system locale is read once per process, so each locale runs in a child of this test.
class TestTranslations : public QObject
{
    Q_OBJECT

    static bool isChild() { return qEnvironmentVariableIsSet("BRIMVAULT_TEST_CHILD"); }

    static void runChild(const QString &lang, const QString &function)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        env.insert(QStringLiteral("LANG"), lang);
        env.insert(QStringLiteral("LANGUAGE"), QString());
        env.insert(QStringLiteral("BRIMVAULT_TEST_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {function});
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(child.exitCode() == 0, child.readAll().constData());
    }

private slots:
    void german() { runChild(QStringLiteral("de_DE.UTF-8"), QStringLiteral("germanChild")); }
    void germanChild()
    {
        if (!isChild())
            QSKIP("run by german()");
        LogCapture capture;
        Translations translations;
        translations.install();
        // Qt's own file comes with another package, which CI installs; with it, every file loads
        // and Qt's own buttons speak German.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        const QString qtFolder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
        const QString qtFolder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
        const bool qtOwn = QFileInfo::exists(qtFolder + QStringLiteral("/qtbase_de.qm"));
        if (qgetenv("CI") == "true")
            NEED_INSTALLED("Qt's own translations", qtOwn, QT_TRANSLATIONS_PACKAGE);
        for (const QString &w : capture.texts(logger::Level::Warn))
            QVERIFY2(!qtOwn && w.contains(QStringLiteral("qtbase_de_DE")), qPrintable(w));
        QCOMPARE(translate("agent", "Online"), QStringLiteral("Verbunden"));

        ServerIPC server;
        QVERIFY(server.listen(0));
        Config c = Config::defaults();
        c.IPC_PORT = server.port();
        c.IPC_SERVICE_UID = getuid();
        setConfig(c);
        BrimvaultSystemTray tray(qApp);
        QCOMPARE(tray.toolTip(), QStringLiteral("Brimvault Agent: Verbunden"));
        About about;
        QCOMPARE(about.windowTitle(), QStringLiteral("Über"));
        const QList<QLabel *> labels = about.findChildren<QLabel *>();
        QStringList texts;
        for (QLabel *l : labels)
            texts << l->text();
        QVERIFY(texts.contains(QStringLiteral("Name: Brimvault Agent")));
        QVERIFY(texts.contains(QStringLiteral("Version: ") + c.VERSION_DISPLAY));
        if (qtOwn)
            QCOMPARE(about.findChild<QDialogButtonBox *>()
                         ->button(QDialogButtonBox::Close)
                         ->text()
                         .remove(QLatin1Char('&')),
                     QStringLiteral("Schließen"));
    }

    void otherLanguages_data()
    {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("online");
        QTest::addColumn<QString>("about");
        QTest::newRow("es") << "es_ES.UTF-8"
                            << "Conectado"
                            << "Acerca de";
        QTest::newRow("fr") << "fr_FR.UTF-8"
                            << "Connecté"
                            << "À propos";
        QTest::newRow("en_GB falls back to en") << "en_GB.UTF-8"
                                                << "Online"
                                                << "About";
    }
    void otherLanguages()
    {
        QFETCH(QString, lang);
        QFETCH(QString, online);
        QFETCH(QString, about);
        qputenv("EXPECT_ONLINE", online.toUtf8());
        qputenv("EXPECT_ABOUT", about.toUtf8());
        runChild(lang, QStringLiteral("phrasesChild"));
    }
    void phrasesChild()
    {
        if (!isChild())
            QSKIP("run by otherLanguages()");
        Translations translations;
        translations.install();
        QCOMPARE(translate("agent", "Online"), qEnvironmentVariable("EXPECT_ONLINE"));
        QCOMPARE(translate("appl_about", "About"), qEnvironmentVariable("EXPECT_ABOUT"));
    }

    // Locales that name no language, or English: nothing is missing, so nothing is said.
    void noWarningWhereNothingIsMissing_data()
    {
        QTest::addColumn<QString>("lang");
        for (const char *lang : {"C", "POSIX", "en_US.UTF-8", "en_GB.UTF-8"})
            QTest::newRow(lang) << QString::fromLatin1(lang);
    }
    void noWarningWhereNothingIsMissing()
    {
        QFETCH(QString, lang);
        runChild(lang, QStringLiteral("noWarningChild"));
    }
    void noWarningChild()
    {
        if (!isChild())
            QSKIP("run by noWarningWhereNothingIsMissing()");
        LogCapture capture;
        Translations translations;
        translations.install();
        QCOMPARE(capture.texts(logger::Level::Warn), QStringList());
        QCOMPARE(translate("agent", "Online"), QStringLiteral("Online"));
    }

    // No file for the locale: the English fallback serves and the warn line names the missing file.
    void missingLocale()
    {
        runChild(QStringLiteral("it_IT.UTF-8"), QStringLiteral("missingLocaleChild"));
    }
    void missingLocaleChild()
    {
        if (!isChild())
            QSKIP("run by missingLocale()");
        LogCapture capture;
        Translations translations;
        translations.install();
        const QString expected = QStringLiteral("Failed to load translation from ") +
                                 config().QT5_TRANSLATE_DIR +
                                 QStringLiteral("/brimvault_agent_it_IT");
        QCOMPARE(capture.count(expected), 1);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Failed to load translation from ") +
                                           config().QT5_TRANSLATE_DIR +
                                           QStringLiteral("/brimvault_agent_en")),
                 0);
        QCOMPARE(translate("agent", "Online"), QStringLiteral("Online"));
    }
};

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
