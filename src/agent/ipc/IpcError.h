#pragma once

// The IPC client's errors. They carry a text for log lines; callers decide how to report them.

#include "agent/base/errors.h"

// The service could not be reached or the connection failed. `reason`: the cause alone, short,
// for a summary line ("Connection refused", "owned by uid 1000 while uid 0 is trusted").
class IpcError : public AgentError
{
public:
    explicit IpcError(const QString &text, const QString &reason = {})
        : AgentError(text), reason_(reason)
    {
    }
    QString reason() const { return reason_.isEmpty() ? QString::fromUtf8(what()) : reason_; }

private:
    QString reason_;
};

// The service end of the connection belongs to another user than the service's.
class UntrustedPeerError : public IpcError
{
public:
    using IpcError::IpcError;
};

// One message from the service could not be taken as it stands.
class ProtocolError : public AgentError
{
public:
    using AgentError::AgentError;
};
