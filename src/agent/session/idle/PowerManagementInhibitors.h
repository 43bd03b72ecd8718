#pragma once

#include "InhibitorReader.h"

// org.freedesktop.PowerManagement.Inhibit, served by KDE's PowerDevil and xfce4-power-manager:
// HasInhibit. It does not say by whom.
class PowerManagementInhibitors : public InhibitorReader
{
public:
    QString name() const override { return QStringLiteral("org.freedesktop.PowerManagement"); }
    std::optional<QStringList> active(QString *why) override;
};
