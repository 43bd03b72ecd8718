#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <atomic>

class QSystemTrayIcon;

// The session-limit warnings on screen. Where a notification server is on the session bus
// they are critical notifications that never expire, so a user who stepped away still sees
// them; each kind replaces its own earlier one. Elsewhere Qt's tray balloon shows them.
// Lives on the GUI thread; close() is called from the exit hooks' threads too, so the ids are
// atomics and closing waits for no answer longer than a short, fixed time. Closing at the end
// wins: once a kind is closed, a show() under way takes down what it put up, and later ones put
// up nothing.
class WarningNotices : public QObject
{
    Q_OBJECT
public:
    enum Kind { Idle, Session };

    explicit WarningNotices(QSystemTrayIcon *tray, QObject *parent = nullptr);

    void show(Kind kind, const QString &title, const QString &text);
    // Takes the warning off the screen, where the route allows it. Any thread.
    void close(Kind kind);
    // As close(), for good: the agent is ending. Any thread.
    void closeForGood(Kind kind);

private slots:
    void closed(uint id, uint reason);

private:
    bool serverPresent() const;

    QSystemTrayIcon *tray_;
    std::array<std::atomic<uint>, 2> ids_{};   // notification ids on the server; 0: none shown
    std::array<std::atomic<bool>, 2> ended_{}; // closeForGood() was called
};
