#pragma once

// session/ is the desktop session as the agent meets it: its facts, the X display, the tray host
// and the lock, with D-Bus, logind, idle time and logoff in rooms of their own.

#include <QString>

#include <functional>

// What the agent knows about the desktop session it runs in, worked out once. The lock, the idle
// sources, the logoff route, the tray wait and the check program all ask here, so that they
// never disagree about the session.
class SessionFacts
{
public:
    // The session of this process, from its environment; logind is asked on first use of
    // logindId()/logindPath() (after the application object exists).
    static const SessionFacts &current();
    // Forgets what current() found, for a changed environment (tests, the check program).
    static void refresh();

    // From an environment given as a lookup, without asking logind: for tests. `xAnswers` says
    // whether an X server answers at DISPLAY; null: one does wherever DISPLAY is set.
    explicit SessionFacts(const std::function<QString(const char *)> &env,
                          const std::function<bool()> &xAnswers = nullptr);

    // logind's session: XDG_SESSION_ID, else GetSessionByPID; empty where there is none.
    QString logindId() const;
    QString logindPath() const;

    // The desktop, lower case: "gnome", "kde", "xfce", "mate", "lxqt", ... from
    // XDG_CURRENT_DESKTOP (its first known name), else XDG_SESSION_DESKTOP; empty when unknown.
    QString desktop() const { return desktop_; }
    // A Wayland session: input to native Wayland windows never reaches the X server.
    bool wayland() const { return wayland_; }
    // For the check program: "GNOME on Wayland", "Xfce on X11", "Wayland".
    QString describe() const;
    // What tells this session apart from others of the user: the logind id, else the display.
    QString key() const;
    // The Qt platform plugin the agent runs on: QT_QPA_PLATFORM, else Qt's own choice, unless
    // that is X11 in a Wayland session whose X server does not answer: then Wayland.
    QString qtPlatform() const { return qtPlatform_; }
    // Whether qtPlatform() differs from what Qt would choose by itself, so that the agent must
    // name it before the application object is made.
    bool qtPlatformChosen() const { return qtPlatformChosen_; }
    // Whether that platform can connect: an X server answers, or the compositor's socket is
    // there. Empty when it can, else why not.
    QString qtPlatformProblem() const { return qtPlatformProblem_; }

    static QString normaliseDisplay(const QString &display);
    static QString normaliseDesktop(const QString &currentDesktop, const QString &sessionDesktop);

private:
    void lookUpLogind() const;

    QString desktop_, x11Display_, waylandDisplay_, qtPlatform_, qtPlatformProblem_;
    bool wayland_ = false;
    bool qtPlatformChosen_ = false;
    QString envSessionId_;
    bool askLogind_ = false;
    mutable bool logindAsked_ = false;
    mutable QString logindId_, logindPath_;
};
