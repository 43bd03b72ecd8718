#pragma once

// base/ holds what every room of the support layer uses: the error types, their text for log
// lines, and the clock that time spans are measured on.

// Error types shared across the support layer; the IPC client's own are in ipc/IpcError.h. They
// carry a text for log lines; callers decide how to report them (exceptionToMessage).

#include <QString>

#include <stdexcept>

class AgentError : public std::runtime_error
{
public:
    explicit AgentError(const QString &text) : std::runtime_error(text.toStdString()) {}
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

// A desktop session operation is not available here.
class OperationError : public AgentError
{
public:
    using AgentError::AgentError;
};
