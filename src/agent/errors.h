#pragma once

// Error types of the support layer. They carry a text for log lines; callers decide how to
// report them (exceptionToMessage).

#include <QString>

#include <stdexcept>

class AgentError : public std::runtime_error
{
public:
    explicit AgentError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

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

// Start-up could not reach a usable service. `detail` names the address and the last reason.
class ServiceUnavailableError : public AgentError
{
public:
    ServiceUnavailableError(const QString &text, const QString &detail)
        : AgentError(text), detail_(detail)
    {
    }
    QString detail() const { return detail_; }

private:
    QString detail_;
};

// One message from the service could not be taken as it stands.
class ProtocolError : public AgentError
{
public:
    using AgentError::AgentError;
};

// A desktop session operation is not available here.
class OperationError : public AgentError
{
public:
    using AgentError::AgentError;
};
