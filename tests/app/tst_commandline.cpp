#include "brimvault_agent/app/CommandLine.h"

#include <QProcess>
#include <QtTest>

using Action = CommandLine::Action;

class TestCommandLine : public QObject
{
    Q_OBJECT

    CommandLine parser{QStringLiteral("brimvault-agent-user"),
                       QStringLiteral("Brimvault Agent, version 1.0.0"), QStringLiteral("1.0.0")};

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("action");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<bool>("force");
        QTest::newRow("nothing") << QStringList{} << int(Action::Run) << false << false;
        QTest::newRow("-d") << QStringList{"-d"} << int(Action::Run) << true << false;
        QTest::newRow("-df") << QStringList{"-df"} << int(Action::Run) << true << true;
        QTest::newRow("--deb --f")
            << QStringList{"--deb", "--f"} << int(Action::Run) << true << true;
        QTest::newRow("-v") << QStringList{"-v"} << int(Action::Version) << false << false;
        QTest::newRow("--vers") << QStringList{"--vers"} << int(Action::Version) << false << false;
        QTest::newRow("-dv") << QStringList{"-dv"} << int(Action::Version) << true << false;
        QTest::newRow("--he") << QStringList{"--he"} << int(Action::Help) << false << false;
        QTest::newRow("positional") << QStringList{"extra"} << int(Action::Error) << false << false;
        QTest::newRow("unknown long")
            << QStringList{"--verbose"} << int(Action::Error) << false << false;
        QTest::newRow("unknown short")
            << QStringList{"-dx"} << int(Action::Error) << false << false;
        QTest::newRow("--") << QStringList{"--"} << int(Action::Error) << false << false;
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(int, action);
        QFETCH(bool, debug);
        QFETCH(bool, force);
        const auto r = parser.parse(args);
        QCOMPARE(int(r.action), action);
        if (r.action == Action::Run) {
            QCOMPARE(r.debug, debug);
            QCOMPARE(r.force, force);
        }
        if (r.action == Action::Error) {
            QCOMPARE(r.exitCode, 2);
            QVERIFY(r.output.startsWith(parser.usage()));
            QVERIFY(r.output.contains(QStringLiteral("error: unrecognized arguments: ") +
                                      args.join(QLatin1Char(' '))));
        }
    }

    void helpLayout()
    {
        const QString help = parser.help();
        QVERIFY(help.startsWith(QStringLiteral("usage: brimvault-agent-user [-h] [-d] [-f] "
                                               "[-v]\n\nBrimvault Agent, version 1.0.0\n")));
        const int h = help.indexOf(QStringLiteral("-h, --help")),
                  d = help.indexOf(QStringLiteral("-d, --debug")),
                  f = help.indexOf(QStringLiteral("-f, --force")),
                  v = help.indexOf(QStringLiteral("-v, --version"));
        QVERIFY(h > 0 && h < d && d < f && f < v);
        QVERIFY(help.contains(QStringLiteral("Debugging mode")) &&
                help.contains(QStringLiteral("Force mode")));
    }

    // The real program: help and version need no display at all; errors exit 2.
    void program_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("--version") << QStringList{"--version"} << 0 << "1.0.0\n"
                                   << "";
        QTest::newRow("positional") << QStringList{"--version", "x"} << 0 << "1.0.0\n"
                                    << "";
        QTest::newRow("-v") << QStringList{"-v"} << 0 << "1.0.0\n"
                            << "";
        QTest::newRow("help") << QStringList{"--help"} << 0
                              << "usage: brimvault-agent-user [-h] [-d] [-f] [-v]"
                              << "";
        QTest::newRow("bad") << QStringList{"-d", "nope"} << 2 << ""
                             << "error: unrecognized arguments: nope";
    }
    void program()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), QStringLiteral("/nonexistent"));
        env.insert(QStringLiteral("XDG_STATE_HOME"),
                   QDir::tempPath() + QStringLiteral("/brimvault-cli-test"));
        if (status == 0) { // no display, and nothing that would stand in for one
            env.remove(QStringLiteral("DISPLAY"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        }
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(AGENT_PATH), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), status);
        const QString stdoutText = QString::fromLocal8Bit(p.readAllStandardOutput());
        const QString stderrText = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(out.isEmpty() || stdoutText.startsWith(out), qPrintable(stdoutText));
        QVERIFY(stderrText.contains(err));
        QVERIFY(stderrText.contains(
            QStringLiteral("INFO [main] Initializing Brimvault Agent, version: 1.0.0")));
        // A named file that is not there is said on every start: the defaults mean a real logoff.
        QVERIFY(stderrText.contains(QStringLiteral("WARN [main] Configuration file /nonexistent "
                                                   "not found; using the compiled-in defaults")));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
