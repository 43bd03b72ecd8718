#pragma once

#include <QString>
#include <QStringList>

// The agent's command line: -h/--help, -d/--debug, -f/--force, -v/--version. Long options may be
// abbreviated to any unambiguous prefix and short flags combined behind one dash; no positional
// arguments. Hand-written because QCommandLineParser takes neither abbreviations nor the
// usage/error layout that callers of this agent script against.
class CommandLine
{
public:
    enum class Action { Run, Help, Version, Error };

    struct Result
    {
        Action action = Action::Run;
        bool debug = false;
        bool force = false;
        QString output; // help text (stdout) or usage and error (stderr)
        int exitCode = 0;
    };

    CommandLine(QString programName, QString description, QString version);

    // `arguments` without the program name.
    Result parse(const QStringList &arguments) const;

    QString usage() const;
    QString help() const;

private:
    QString program_;
    QString description_;
    QString version_;
};
