#include "LogCapture.h"
#include "PrivateSystemBus.h"

#include "agent/base/errors.h"
#include "agent/config/Config.h"
#include "agent/operations.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/X11Display.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

#include <X11/Xlib.h>

#include <pwd.h>
#include <unistd.h>

// Runs under its own Xvfb server.
class TestOperations : public QObject
{
    Q_OBJECT

    Display *dpy = nullptr;

private slots:
    void initTestCase()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        if (qEnvironmentVariableIsSet("DISPLAY"))
            dpy = XOpenDisplay(nullptr);
    }
    void cleanupTestCase()
    {
        if (dpy)
            XCloseDisplay(dpy);
    }

    // X11's idle time is input only; under "honour", logind's idle lock of the user holds it at 0.
    void x11IdleUnderALogindInhibitor()
    {
        if (!dpy)
            QSKIP("needs an X display");
        PrivateSystemBus bus;
        QVERIFY(bus.start());
        QProcess logind;
        logind.start(QStringLiteral(STANDINS_PATH),
                     {"--logind", "active", "--system", bus.address, "--inhibit", "logind"});
        QVERIFY(logind.waitForReadyRead(5000));
        QTest::qWait(1200); // no input meanwhile
        for (const QString policy : {"ignore", "honour"}) {
            Config c = Config::defaults();
            c.IDLE_INHIBITORS = policy;
            setConfig(c);
            const double idle = operations::getIdleDuration();
            QVERIFY2(policy == QLatin1String("honour") ? idle == 0 : idle >= 1.0,
                     qPrintable(QString::number(idle)));
        }
        setConfig(Config::defaults());
        logind.kill();
        logind.waitForFinished();
        SessionFacts::refresh(); // it knew logind's session
    }

    void currentUserFromPasswordDatabase()
    {
        const passwd *pw = getpwuid(getuid());
        QVERIFY(pw);
        QCOMPARE(operations::getCurrentUser(), QString::fromLocal8Bit(pw->pw_name));
    }

    // 57600 does not fit the protocol's 16 bits: clamped, the other values kept, no X error.
    void idleTimeoutClampedAndOthersKept()
    {
        if (!dpy)
            QSKIP("needs an X display");
        XSetScreenSaver(dpy, 100, 321, DontPreferBlanking, AllowExposures);
        XSync(dpy, False);
        LogCapture capture;
        operations::initIdleDuration(57600);
        int timeout = 0, interval = 0, blanking = 0, exposures = 0;
        XGetScreenSaver(dpy, &timeout, &interval, &blanking, &exposures);
        QCOMPARE(timeout, 32767);
        QCOMPARE(interval, 321);
        QCOMPARE(blanking, int(DontPreferBlanking));
        QCOMPARE(exposures, int(AllowExposures));
        QCOMPARE(capture.countStartingWith(
                     QStringLiteral("Screensaver timeout 57600 s clamped to 32767 s")),
                 1);

        operations::initIdleDuration(900);
        XGetScreenSaver(dpy, &timeout, &interval, &blanking, &exposures);
        QCOMPARE(timeout, 900);
        operations::initIdleDuration(-5);
        XGetScreenSaver(dpy, &timeout, &interval, &blanking, &exposures);
        QCOMPARE(timeout, 0);
    }

    void idleTimeFromTheServer()
    {
        if (!dpy)
            QSKIP("needs an X display");
        const double idle = operations::getIdleDuration();
        QVERIFY(idle >= 0.0);
        QVERIFY(idle < 3600.0);
    }

    // An X error on the agent's connection is logged, never fatal.
    void xErrorIsNotFatal()
    {
        if (!dpy)
            QSKIP("needs an X display");
        operations::initIdleDuration(10); // opens the agent's connection and installs the handler
        LogCapture capture;
        XSetScreenSaver(dpy, -7, 0, DefaultBlanking, DefaultExposures); // BadValue
        XSync(dpy, False);
        QCOMPARE(capture.countStartingWith(QStringLiteral("X error ignored")), 1);
    }

    // Xlib ends the process from inside a call made under the agent's X lock, and the exit
    // hook then asks whether the server answers, on that same thread: it must not wait for the
    // lock it holds. (Here the process ends with the lock held; the hook still reports.)
    void exitHookWhileTheXLockIsHeld()
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_TEST_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("xLockChild")});
        QVERIFY(child.waitForFinished(10000));
        const QByteArray out = child.readAllStandardOutput();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 3 &&
                     out.contains("answers: yes"),
                 qPrintable(QStringLiteral("status %1 (%2): %3")
                                .arg(child.exitCode())
                                .arg(child.exitStatus() == QProcess::NormalExit ? "exit" : "crash")
                                .arg(QString::fromLocal8Bit(out))));
    }
    void xLockChild()
    {
        if (!qEnvironmentVariableIsSet("BRIMVAULT_TEST_CHILD"))
            QSKIP("run by exitHookWhileTheXLockIsHeld");
        // Then ends as the agent's own hook does, before the other exit handlers and static
        // destructors, which are not what this checks.
        std::atexit([] {
            std::printf("answers: %s\n", X11Display::answers() ? "yes" : "no");
            std::fflush(stdout);
            std::_Exit(3);
        });
        X11Display x;
        QVERIFY(x.display());
        std::exit(3); // as Xlib's I/O error handler does
    }

    void withoutDisplay()
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("BRIMVAULT_TEST_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("withoutDisplayChild")});
        QVERIFY(child.waitForFinished(20000));
        QVERIFY2(child.exitCode() == 0, child.readAllStandardOutput().constData());
    }
    void withoutDisplayChild()
    {
        if (!qEnvironmentVariableIsSet("BRIMVAULT_TEST_CHILD"))
            QSKIP("run by withoutDisplay");
        LogCapture capture;
        operations::initIdleDuration(57600);
        QCOMPARE(capture.count(QStringLiteral("No X display; screensaver timeout not set")), 1);
        try {
            operations::getIdleDuration();
            QFAIL("expected an error");
        } catch (const OperationError &e) {
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("no X display")));
        }
    }

    void loggoffRunsTheCommand()
    {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("logged-off"));
        Config c = Config::defaults();
        c.LOGOFF_COMMAND = QStringLiteral("echo \"$USER\" > '%1'").arg(marker);
        setConfig(c);
        operations::loggoff();
        QTRY_VERIFY(QFileInfo::exists(marker));
        setConfig(Config::defaults());
    }

    void loggoffWithoutMethodLogsError()
    {
        setConfig(Config::defaults());
        const QByteArray session = qgetenv("XDG_SESSION_ID");
        qunsetenv("XDG_SESSION_ID");
        LogCapture capture;
        operations::loggoff();
        QCOMPARE(capture.texts(logger::Level::Error).size(), 1);
        QVERIFY(capture.texts(logger::Level::Error)
                    .first()
                    .startsWith(QStringLiteral("No logoff method available")));
        if (!session.isEmpty())
            qputenv("XDG_SESSION_ID", session);
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
