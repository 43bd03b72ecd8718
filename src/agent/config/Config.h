#pragma once

#include "agent/log/log.h"

#include <QString>
#include <QStringList>

// The agent's configuration values, the room where they and their defaults are written. The
// defaults are compiled in (here; defaults() adds those that depend on where the agent is
// installed); an optional INI file (keys at top level, no section) overrides them once at
// start-up. Read where needed, never changed later.
struct Config
{
    QString APPLICATION_TITLE = QStringLiteral("Brimvault Agent");
    QString VERSION_DISPLAY;
    QString ORGANIZATION_NAME = QStringLiteral("Brimvault");
    QString ORGANIZATION_DOMAIN = QStringLiteral("brimvault.example");
    QString QT5_TRANSLATE_DIR;
    QString QT5_TRANSLATE_CONTEXT = QStringLiteral("brimvault_agent");
    QString IMG_DIR;
    QString QT5_THEME_NAME = QStringLiteral("brimvault");
    QString QT5_ICON_FILE = QStringLiteral("brimvault-agent");
    QString QT5_LOGO_FILE = QStringLiteral("brimvault-logo");
    bool QT5_USES_FAVICON_FILE = false;
    QString QT5_FAVICON_FILE;
    bool TRAY_MENU_ENABLED = true;
    int IPC_PORT = 43910;
    qint64 IPC_SERVICE_UID = 0; // owner the service socket must have; -1: no check
    QString LOG_FILE;
    QString LOG_LEVEL = QStringLiteral("INFO");
    QString LOG_TARGET; // file, journal or both; empty: both where the journal is, else file
    QString LOGOFF_COMMAND;
    qint64 LOG_MAX_BYTES = logger::kDefaultMaxBytes;
    int SCRIPT_MAX_CONCURRENT = 4;
    int SCRIPT_TIMEOUT = 0;         // seconds; 0: no limit
    bool NOTIFY_USER = false;       // also show limit warnings and service messages to the user
    int TRAY_WAIT_SECONDS = 30;     // how long start-up waits for a tray host; 0: check once
    bool TRAY_REQUIRED = true;      // false: without a tray, run without an icon
    int LOGOFF_VERIFY_SECONDS = 60; // after a logout applications may cancel; 0: no check
    int RECONNECT_SECONDS = 0;      // how long a lost link is tried again; 0: the agent ends
    QString IDLE_INHIBITORS = QStringLiteral("ignore"); // or "honour": inhibitors hold idle at 0

    // The compiled-in values, with the version and the paths of this installation.
    static Config defaults();

    // defaults() overridden by the file at `path`; a missing file is not an error. Problems
    // (unreadable file, unknown key, a value of the wrong kind) are appended to `warnings`, one
    // line each, and the default is kept.
    static Config fromFile(const QString &path, QStringList *warnings);

    // $BRIMVAULT_AGENT_CONFIG, else /etc/brimvault/agent.conf.
    static QString defaultPath();

    // Every key a file may set, and a value as a file would write it.
    static QStringList keys();
    QString valueText(const QString &key) const;

    // What load() found, for the log: one info line (the file read, or that there is none) and
    // the warnings.
    struct LoadReport
    {
        QString info;
        QStringList warnings;
        QString path; // the file read; empty when none
    };
    // The file at defaultPath() becomes the current configuration.
    static LoadReport load();
};

// Where the record goes, LOG_TARGET resolved for this machine.
struct LogTargets
{
    bool file = true;
    bool journal = false;
};
LogTargets logTargets(const Config &c);

// The current configuration (defaults until Config::load() or setConfig()).
const Config &config();
// Replaces the current configuration; start-up and tests only, before other threads read it.
void setConfig(const Config &values);

// Directory of the agent's shipped data (icons, translations): next to the executable as
// ../share/brimvault-agent, else the build tree's, else the install prefix's.
QString dataDirectory();
