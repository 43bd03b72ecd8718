#include "Config.h"

#include "agent/log/log.h"
#include "buildinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace {

Config &current()
{
    // Never destroyed: threads may still read it while static destructors run at exit.
    static Config *const values = new Config(Config::defaults());
    return *values;
}

QString executableDirectory()
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    return self.exists() ? QFileInfo(self.symLinkTarget()).absolutePath() : QString();
}

QString defaultLogFile()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/brimvault/agent-user.log");
}

// How one key is read from the file, and how its value is shown in a warning.
struct Field
{
    std::function<bool(Config &, const QString &)> set;
    std::function<QString(const Config &)> show;
};

Field text(QString Config::*member)
{
    return {[member](Config &c, const QString &v) {
                c.*member = v;
                return true;
            },
            [member](const Config &c) { return c.*member; }};
}

Field flag(bool Config::*member)
{
    return {[member](Config &c, const QString &v) {
                const QString s = v.trimmed().toLower();
                if (s == QLatin1String("true") || s == QLatin1String("1") ||
                    s == QLatin1String("yes"))
                    c.*member = true;
                else if (s == QLatin1String("false") || s == QLatin1String("0") ||
                         s == QLatin1String("no"))
                    c.*member = false;
                else
                    return false;
                return true;
            },
            [member](const Config &c) {
                return c.*member ? QStringLiteral("true") : QStringLiteral("false");
            }};
}

template <typename T> Field number(T Config::*member, qint64 min, qint64 max)
{
    return {[member, min, max](Config &c, const QString &v) {
                bool ok = false;
                const qint64 n = v.trimmed().toLongLong(&ok, 10);
                if (!ok || n < min || n > max)
                    return false;
                c.*member = static_cast<T>(n);
                return true;
            },
            [member](const Config &c) { return QString::number(c.*member); }};
}

// A text key that takes one of a few values: `canonical` gives the value as it is kept, or
// nothing for one it does not take.
Field choice(QString Config::*member,
             const std::function<std::optional<QString>(const QString &)> &canonical)
{
    Field f = text(member);
    f.set = [member, canonical](Config &c, const QString &v) {
        const std::optional<QString> value = canonical(v.trimmed());
        if (value)
            c.*member = *value;
        return value.has_value();
    };
    return f;
}

Field level()
{
    return choice(&Config::LOG_LEVEL, [](const QString &v) -> std::optional<QString> {
        logger::Level known = logger::Level::Info;
        if (!logger::parseLevel(v, &known))
            return std::nullopt;
        return v.toUpper();
    });
}

Field target()
{
    return choice(&Config::LOG_TARGET, [](const QString &v) -> std::optional<QString> {
        static const QStringList known = {QString(), QStringLiteral("file"),
                                          QStringLiteral("journal"), QStringLiteral("both")};
        if (!known.contains(v.toLower()))
            return std::nullopt;
        return v.toLower();
    });
}

// ignore or honour (the British spelling; "honor" is taken too).
Field inhibitors()
{
    return choice(&Config::IDLE_INHIBITORS, [](const QString &v) -> std::optional<QString> {
        const QString s = v.toLower();
        if (s == QLatin1String("ignore"))
            return s;
        if (s == QLatin1String("honour") || s == QLatin1String("honor"))
            return QStringLiteral("honour");
        return std::nullopt;
    });
}

const std::map<QString, Field> &fields()
{
    static const std::map<QString, Field> table = {
        {QStringLiteral("APPLICATION_TITLE"), text(&Config::APPLICATION_TITLE)},
        {QStringLiteral("VERSION_DISPLAY"), text(&Config::VERSION_DISPLAY)},
        {QStringLiteral("ORGANIZATION_NAME"), text(&Config::ORGANIZATION_NAME)},
        {QStringLiteral("ORGANIZATION_DOMAIN"), text(&Config::ORGANIZATION_DOMAIN)},
        {QStringLiteral("QT5_TRANSLATE_DIR"), text(&Config::QT5_TRANSLATE_DIR)},
        {QStringLiteral("QT5_TRANSLATE_CONTEXT"), text(&Config::QT5_TRANSLATE_CONTEXT)},
        {QStringLiteral("IMG_DIR"), text(&Config::IMG_DIR)},
        {QStringLiteral("QT5_THEME_NAME"), text(&Config::QT5_THEME_NAME)},
        {QStringLiteral("QT5_ICON_FILE"), text(&Config::QT5_ICON_FILE)},
        {QStringLiteral("QT5_LOGO_FILE"), text(&Config::QT5_LOGO_FILE)},
        {QStringLiteral("QT5_USES_FAVICON_FILE"), flag(&Config::QT5_USES_FAVICON_FILE)},
        {QStringLiteral("QT5_FAVICON_FILE"), text(&Config::QT5_FAVICON_FILE)},
        {QStringLiteral("TRAY_MENU_ENABLED"), flag(&Config::TRAY_MENU_ENABLED)},
        {QStringLiteral("IPC_PORT"), number(&Config::IPC_PORT, 1, 65535)},
        {QStringLiteral("IPC_SERVICE_UID"), number(&Config::IPC_SERVICE_UID, -1, 4294967294LL)},
        {QStringLiteral("LOG_FILE"), text(&Config::LOG_FILE)},
        {QStringLiteral("LOG_LEVEL"), level()},
        {QStringLiteral("LOG_TARGET"), target()},
        {QStringLiteral("LOGOFF_COMMAND"), text(&Config::LOGOFF_COMMAND)},
        {QStringLiteral("LOG_MAX_BYTES"), number(&Config::LOG_MAX_BYTES, 4096, qint64(1) << 40)},
        {QStringLiteral("SCRIPT_MAX_CONCURRENT"), number(&Config::SCRIPT_MAX_CONCURRENT, 1, 256)},
        {QStringLiteral("SCRIPT_TIMEOUT"), number(&Config::SCRIPT_TIMEOUT, 0, 7 * 24 * 3600)},
        {QStringLiteral("NOTIFY_USER"), flag(&Config::NOTIFY_USER)},
        {QStringLiteral("TRAY_WAIT_SECONDS"), number(&Config::TRAY_WAIT_SECONDS, 0, 3600)},
        {QStringLiteral("TRAY_REQUIRED"), flag(&Config::TRAY_REQUIRED)},
        {QStringLiteral("LOGOFF_VERIFY_SECONDS"), number(&Config::LOGOFF_VERIFY_SECONDS, 0, 3600)},
        {QStringLiteral("RECONNECT_SECONDS"), number(&Config::RECONNECT_SECONDS, 0, 86400)},
        {QStringLiteral("IDLE_INHIBITORS"), inhibitors()},
    };
    return table;
}

// "value", 'value' or value; a quoted value keeps its inner blanks and '#'.
QString unquote(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 &&
        (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front())
        return value.mid(1, value.size() - 2);
    return value;
}

} // namespace

Config Config::defaults()
{
    Config c;
    const QString data = dataDirectory();
    c.VERSION_DISPLAY = QStringLiteral(BRIMVAULT_VERSION);
    c.QT5_TRANSLATE_DIR = data + QStringLiteral("/translations");
    c.IMG_DIR = data + QStringLiteral("/icons");
    c.QT5_FAVICON_FILE = data + QStringLiteral("/favicon.png");
    c.LOG_FILE = defaultLogFile();
    return c;
}

Config Config::fromFile(const QString &path, QStringList *warnings)
{
    Config c = defaults();
    QFile file(path);
    if (!file.exists())
        return c;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        warnings->append(
            QStringLiteral(
                "Configuration file %1 cannot be read: %2; using the compiled-in defaults")
                .arg(path, file.errorString()));
        return c;
    }
    // Hand-written rather than QSettings: QSettings' INI reader splits values at commas and
    // eats backslashes, which would mangle titles and LOGOFF_COMMAND command lines.
    int lineNo = 0;
    for (const QString &raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        ++lineNo;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            warnings->append(
                QStringLiteral("%1:%2: sections are not used; keys belong at the top level")
                    .arg(path)
                    .arg(lineNo));
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            warnings->append(QStringLiteral("%1:%2: expected KEY = value").arg(path).arg(lineNo));
            continue;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = unquote(line.mid(eq + 1));
        const auto it = fields().find(key);
        if (it == fields().end()) {
            warnings->append(
                QStringLiteral("%1:%2: unknown key %3 ignored").arg(path).arg(lineNo).arg(key));
            continue;
        }
        if (!it->second.set(c, value))
            warnings->append(QStringLiteral("Invalid value '%1' for %2; keeping the default %3")
                                 .arg(value, key, it->second.show(c)));
    }
    return c;
}

QStringList Config::keys()
{
    QStringList names;
    for (const auto &field : fields())
        names << field.first;
    return names;
}

QString Config::valueText(const QString &key) const
{
    const auto it = fields().find(key);
    return it == fields().end() ? QString() : it->second.show(*this);
}

QString Config::defaultPath()
{
    const QString env = qEnvironmentVariable("BRIMVAULT_AGENT_CONFIG");
    return env.isEmpty() ? QStringLiteral("/etc/brimvault/agent.conf") : env;
}

Config::LoadReport Config::load()
{
    LoadReport report;
    const QString path = defaultPath();
    setConfig(fromFile(path, &report.warnings));
    const QFileInfo file(path);
    if (!file.exists()) {
        // A file named on purpose that is not there is worth a warning: the defaults mean a real
        // logoff.
        if (!qEnvironmentVariableIsEmpty("BRIMVAULT_AGENT_CONFIG"))
            report.warnings.prepend(
                QStringLiteral("Configuration file %1 not found; using the compiled-in defaults")
                    .arg(path));
        else
            report.info = QStringLiteral("No configuration file; using the compiled-in defaults");
    } else if (file.isReadable() && file.isFile()) {
        report.info = QStringLiteral("Configuration read from %1").arg(path);
    }
    report.path = file.exists() ? path : QString();
    return report;
}

const Config &config()
{
    return current();
}

void setConfig(const Config &values)
{
    current() = values;
}

QString dataDirectory()
{
    const QString exeDir = executableDirectory();
    if (!exeDir.isEmpty()) {
        const QString beside = QDir::cleanPath(exeDir + QStringLiteral("/../") +
                                               QStringLiteral(BRIMVAULT_DATA_SUBDIR));
        if (QFileInfo(beside).isDir())
            return beside;
    }
    if (QFileInfo(QStringLiteral(BRIMVAULT_BUILD_DATA_DIR)).isDir())
        return QStringLiteral(BRIMVAULT_BUILD_DATA_DIR);
    return QStringLiteral(BRIMVAULT_INSTALL_DATA_DIR);
}

LogTargets logTargets(const Config &c)
{
    if (c.LOG_TARGET == QLatin1String("file"))
        return {true, false};
    if (c.LOG_TARGET == QLatin1String("journal"))
        return {false, true};
    if (c.LOG_TARGET == QLatin1String("both"))
        return {true, true};
    return {true, logger::journalAvailable()};
}
