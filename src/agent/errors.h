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

// The service could not be reached or the connection failed.
class IpcError : public AgentError
{
public:
    using AgentError::AgentError;
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

// A desktop session operation is not available here.
class OperationError : public AgentError
{
public:
    using AgentError::AgentError;
};
