#pragma once

#include "IdleSource.h"

// org.freedesktop.ScreenSaver's GetSessionIdleTime: seconds as the interface says, and as
// light-locker and the others answer; KDE's screen locker answers in milliseconds.
class ScreenSaverIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("org.freedesktop.ScreenSaver"); }
    QString name() const override { return QStringLiteral("org.freedesktop.ScreenSaver"); }
    std::optional<double> idleSeconds(QString *why) override;
};
