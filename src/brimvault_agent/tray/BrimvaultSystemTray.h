#pragma once

// tray/ is the session controller: the icon, the limits and the service's commands.

#include <QIcon>
#include <QSystemTrayIcon>
#include <QVariantMap>

#include "WarningNotices.h"

#include "agent/base/bootclock.h"
#include "agent/log/EndCause.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class About;
class BrimvaultMessageDialog;
class ServiceLink;
class QApplication;
class QMenu;
class QTimer;

// The running agent's one controller: the tray icon and its menu, the service's commands, the
// session limits checked every 5 s, and quit(), the single way out. The link's life is
// ServiceLink's; the tray shows what it says. Lives on the GUI thread; endBeforeExit() alone is
// called from other threads (the exit hooks): it touches what ServiceLink guards, the atomic
// `stopped`, and the notices, whose close is safe from any thread (WarningNotices).
class BrimvaultSystemTray : public QSystemTrayIcon
{
    Q_OBJECT
public:
    static constexpr int kCheckIntervalMs = 5000;
    static constexpr int kGraceTicks = 6;
    static constexpr int kIdleWarnSeconds = 120;
    static constexpr int kSessionWarnSeconds = 300;
    static constexpr int kNoticeRefreshMs = 60000; // the session warning says the time left

    // Throws AgentError with "Tray icon not available", "Tray icon sizes not available" or
    // "No connection to service, exiting.".
    explicit BrimvaultSystemTray(QApplication *app_, QObject *parent = nullptr);
    ~BrimvaultSystemTray() override;

    void setOnline();
    void setOffline();

    void checkIdle();
    void checkMaxSession();

    // For a process that a library is about to end: sends the logout unless quit() did, then
    // waits, bounded, until it has gone out and no reconnect attempt runs. Safe from any thread;
    // touches nothing of the GUI.
    void endBeforeExit(EndCause cause);

public slots:
    void information(const QVariantMap &info);
    void checkTimers();
    void displayMessage(const QString &message);
    void executeScript(const QString &script);
    void logoff();
    // Hides QObject::disconnect on purpose: the service's disconnect command.
    void disconnect();
    void about();
    void quit(bool logoff = false);
    // quit() for a reason that the log gives once, as "Ending: <cause>".
    void end(EndCause cause, bool logoff = false);

private:
    friend class TestBrimvaultSystemTray;

    void closeNotices();
    // Says so once when the wall clock was stepped: an end that looks early or late by the log's
    // stamps then has its reason next to it.
    void noteWallClockStep();
    // With NOTIFY_USER: a warning on screen that says how much time is left.
    void notifyTimeLeft(WarningNotices::Kind kind, const char *phrase, double secondsLeft);

    QApplication *app;
    QIcon icon_online;
    QIcon icon_offline;
    std::unique_ptr<About> aboutDlg; // with the menu, made when first shown
    QWidget *aboutParent = nullptr;
    std::unique_ptr<BrimvaultMessageDialog> messageDlg; // with NOTIFY_USER, made on first use
    std::unique_ptr<QMenu> menu;
    WarningNotices *notices = nullptr;
    bootclock::Milliseconds sessionStart{0}; // on `clock`
    std::optional<qint64> maxIdleTime;
    bool showIdleWarn = true;
    std::optional<qint64> maxSessionTime;
    bool showMaxSessionWarn = true;
    // When the session warning was last put on screen.
    std::optional<bootclock::Milliseconds> sessionNoticeAt;
    QTimer *timer = nullptr;
    std::atomic<bool> stopped{false};
    std::optional<EndCause> endCause;
    int graceTimerShots = kGraceTicks;
    std::optional<QString> idleFailure; // reason of the idle failure last logged, while it lasts

    // The desktop as the limits see it; tests replace these.
    std::function<double()> idleSource;
    std::function<void(qint64)> idleTimeoutSetter;
    std::function<bootclock::Milliseconds()> clock; // the true clock, bootclock::now()
    std::function<bootclock::Milliseconds()> wallClock;
    std::optional<bootclock::WallClockWatch> wallWatch;
    std::function<void(WarningNotices::Kind, const QString &title, const QString &text)> notifier;
    std::function<void(WarningNotices::Kind, bool forGood)> noticeCloser;
    std::optional<double> idleAtWarning; // idle time when the idle warning went on screen
    // Last, so destroyed first: the link's threads end while everything they reach exists.
    std::unique_ptr<ServiceLink> ipc;
};
