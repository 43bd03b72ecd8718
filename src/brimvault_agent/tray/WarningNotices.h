#pragma once

#include <QObject>
#include <QString>

#include <array>

class QSystemTrayIcon;

// The session-limit warnings on screen. Where a notification server is on the session bus
// they are critical notifications that never expire, so a user who stepped away still sees
// them; each kind replaces its own earlier one. Elsewhere Qt's tray balloon shows them.
class WarningNotices : public QObject
{
    Q_OBJECT
public:
    enum Kind { Idle, Session };

    explicit WarningNotices(QSystemTrayIcon *tray, QObject *parent = nullptr);

    void show(Kind kind, const QString &title, const QString &text);
    // Takes the warning off the screen, where the route allows it.
    void close(Kind kind);
    // Takes every warning shown off the screen: they must not outlive the agent.
    void closeAll();

private slots:
    void closed(uint id, uint reason);

private:
    bool serverPresent() const;

    QSystemTrayIcon *tray_;
    std::array<uint, 2> ids_{}; // notification ids on the server; 0: none shown
};
