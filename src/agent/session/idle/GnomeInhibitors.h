#pragma once

#include "InhibitorReader.h"

// GNOME's session manager: IsInhibited with the idle flag (8). It does not say by whom.
class GnomeInhibitors : public InhibitorReader
{
public:
    QString name() const override { return QStringLiteral("org.gnome.SessionManager"); }
    std::optional<QStringList> active(QString *why) override;
};
