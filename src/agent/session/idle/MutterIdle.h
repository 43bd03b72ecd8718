#pragma once

#include "IdleSource.h"

// GNOME's org.gnome.Mutter.IdleMonitor, in milliseconds: input only.
class MutterIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("Mutter"); }
    QString name() const override { return QStringLiteral("org.gnome.Mutter.IdleMonitor"); }
    std::optional<double> idleSeconds(QString *why) override;
};
