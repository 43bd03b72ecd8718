#pragma once

#include "IdleSource.h"

// The X server's MIT-SCREEN-SAVER extension: input only. A client's XResetScreenSaver (video
// players, xdg-screensaver reset) resets the server's counter too, and so counts as input.
// Skipped in a Wayland session, where input to native Wayland windows never reaches the X server.
class XScreenSaverIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("X11"); }
    QString name() const override { return QStringLiteral("the XScreenSaver extension"); }
    std::optional<double> idleSeconds(QString *why) override;
};
