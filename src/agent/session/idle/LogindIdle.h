#pragma once

#include "IdleSource.h"

// logind's IdleHint and IdleSinceHintMonotonic of this session (µs, CLOCK_MONOTONIC).
class LogindIdle : public IdleSource
{
public:
    QString label() const override { return QStringLiteral("logind"); }
    QString name() const override { return QStringLiteral("logind IdleSinceHint"); }
    std::optional<double> idleSeconds(QString *why) override;
};
