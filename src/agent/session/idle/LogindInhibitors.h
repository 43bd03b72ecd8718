#pragma once

#include "InhibitorReader.h"

// logind's inhibitor locks: those that block "idle", taken by this session's user.
class LogindInhibitors : public InhibitorReader
{
public:
    QString name() const override { return QStringLiteral("logind"); }
    std::optional<QStringList> active(QString *why) override;
};
