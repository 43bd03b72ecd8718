#include "SessionFacts.h"

#include "X11Display.h"

#include "agent/session/logind/LogindSession.h"

#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <memory>

namespace {

std::unique_ptr<SessionFacts> &instance()
{
    static std::unique_ptr<SessionFacts> facts; // GUI thread only
    return facts;
}

QString fromProcess(const char *name)
{
    return qEnvironmentVariable(name);
}

} // namespace

const SessionFacts &SessionFacts::current()
{
    std::unique_ptr<SessionFacts> &facts = instance();
    if (!facts) {
        facts = std::make_unique<SessionFacts>(fromProcess, X11Display::answers);
        facts->askLogind_ = true;
    }
    return *facts;
}

void SessionFacts::refresh()
{
    instance().reset();
}

SessionFacts::SessionFacts(const std::function<QString(const char *)> &env,
                           const std::function<bool()> &xAnswers)
    : desktop_(normaliseDesktop(env("XDG_CURRENT_DESKTOP"), env("XDG_SESSION_DESKTOP"))),
      x11Display_(normaliseDisplay(env("DISPLAY"))), waylandDisplay_(env("WAYLAND_DISPLAY")),
      envSessionId_(env("XDG_SESSION_ID"))
{
    const QString type = env("XDG_SESSION_TYPE");
    wayland_ = type == QLatin1String("wayland") || !waylandDisplay_.isEmpty();
    // Qt's own choice: QT_QPA_PLATFORM, else the session type, else xcb. Debian's Qt 5.15 and
    // Qt 6 take Wayland in GNOME's Wayland sessions too (upstream Qt 5 took X11 there).
    const QString forced = env("QT_QPA_PLATFORM");
    if (!forced.isEmpty())
        qtPlatform_ = forced.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0);
    else if (type == QLatin1String("wayland"))
        qtPlatform_ = QStringLiteral("wayland");
    else
        qtPlatform_ = QStringLiteral("xcb");

    // xcb without an X server aborts the process; in a Wayland session Wayland can connect.
    const bool xServer = !x11Display_.isEmpty() && (xAnswers ? xAnswers() : true);
    const QString runtime = env("XDG_RUNTIME_DIR");
    const QString socket = waylandDisplay_.startsWith(QLatin1Char('/'))
                               ? waylandDisplay_
                               : runtime + QLatin1Char('/') + waylandDisplay_;
    const bool compositor = !waylandDisplay_.isEmpty() && QFileInfo::exists(socket);
    if (forced.isEmpty() && qtPlatform_ == QLatin1String("xcb") && !xServer && compositor) {
        qtPlatform_ = QStringLiteral("wayland");
        qtPlatformChosen_ = true;
    }
    if (qtPlatform_ == QLatin1String("xcb") && !xServer)
        qtPlatformProblem_ = x11Display_.isEmpty()
                                 ? QStringLiteral("DISPLAY is not set")
                                 : QStringLiteral("no X server answers at %1").arg(x11Display_);
    else if (qtPlatform_ == QLatin1String("wayland") && !compositor)
        qtPlatformProblem_ = waylandDisplay_.isEmpty()
                                 ? QStringLiteral("WAYLAND_DISPLAY is not set")
                                 : QStringLiteral("no compositor at %1").arg(socket);
}

QString SessionFacts::normaliseDisplay(const QString &display)
{
    // host:display.screen; the screen does not make another session.
    const int colon = display.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return display;
    const int dot = display.indexOf(QLatin1Char('.'), colon);
    return dot < 0 ? display : display.left(dot);
}

QString SessionFacts::describe() const
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("gnome"), QStringLiteral("GNOME")},
        {QStringLiteral("kde"), QStringLiteral("KDE Plasma")},
        {QStringLiteral("xfce"), QStringLiteral("Xfce")},
        {QStringLiteral("mate"), QStringLiteral("MATE")},
        {QStringLiteral("lxqt"), QStringLiteral("LXQt")},
        {QStringLiteral("lxde"), QStringLiteral("LXDE")},
        {QStringLiteral("cinnamon"), QStringLiteral("Cinnamon")},
        {QStringLiteral("budgie"), QStringLiteral("Budgie")},
        {QStringLiteral("unity"), QStringLiteral("Unity")}};
    const QString type = wayland_ ? QStringLiteral("Wayland") : QStringLiteral("X11");
    return desktop_.isEmpty()
               ? type
               : QStringLiteral("%1 on %2").arg(names.value(desktop_, desktop_), type);
}

QString SessionFacts::normaliseDesktop(const QString &currentDesktop, const QString &sessionDesktop)
{
    // XDG_CURRENT_DESKTOP is a list ("ubuntu:GNOME", "X-Cinnamon"); the first known name wins.
    static const QStringList known = {
        QStringLiteral("gnome"),    QStringLiteral("kde"),    QStringLiteral("xfce"),
        QStringLiteral("mate"),     QStringLiteral("lxqt"),   QStringLiteral("lxde"),
        QStringLiteral("cinnamon"), QStringLiteral("budgie"), QStringLiteral("unity")};
    QStringList names;
    for (const QString &name :
         currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts) + QStringList{sessionDesktop})
        names << name.trimmed().toLower().remove(QStringLiteral("x-"));
    for (const QString &name : names)
        for (const QString &desktop : known)
            if (name == desktop || name.startsWith(desktop + QLatin1Char('-')) ||
                (desktop == QLatin1String("kde") && name == QLatin1String("plasma")))
                return desktop;
    names.removeAll(QString());
    return names.value(0);
}

QString SessionFacts::key() const
{
    if (!logindId().isEmpty())
        return logindId();
    if (!x11Display_.isEmpty())
        return x11Display_;
    return waylandDisplay_.isEmpty() ? QStringLiteral("wayland-0") : waylandDisplay_;
}

QString SessionFacts::logindId() const
{
    lookUpLogind();
    return logindId_;
}

QString SessionFacts::logindPath() const
{
    lookUpLogind();
    return logindPath_;
}

void SessionFacts::lookUpLogind() const
{
    if (logindAsked_)
        return;
    logindAsked_ = true;
    logindId_ = envSessionId_;
    if (!askLogind_)
        return;
    if (const auto session = LogindSession::find(envSessionId_)) {
        logindId_ = session->id();
        logindPath_ = session->path();
    }
}
