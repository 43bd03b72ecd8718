#pragma once

#include "IdleSource.h"

// logind's IdleHint and IdleSinceHint of this session (µs, wall clock).
class LogindIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("logind"); }
    QString name() const override { return QStringLiteral("logind IdleSinceHint"); }
    std::optional<double> idleSeconds(QString *why) override;
};
