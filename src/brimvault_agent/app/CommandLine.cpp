#include "CommandLine.h"

#include <utility>

namespace {

struct Option
{
    QChar shortName;
    const char *longName;
    const char *helpText;
};

// In the order the help lists them.
const Option kOptions[] = {
    {QLatin1Char('h'), "help", "show this help message and exit"},
    {QLatin1Char('d'), "debug", "Debugging mode"},
    {QLatin1Char('f'), "force", "Force mode"},
    {QLatin1Char('v'), "version", "show program's version number and exit"},
};

} // namespace

CommandLine::CommandLine(QString programName, QString description, QString version)
    : program_(std::move(programName)), description_(std::move(description)),
      version_(std::move(version))
{
}

QString CommandLine::usage() const
{
    return QStringLiteral("usage: %1 [-h] [-d] [-f] [-v]\n").arg(program_);
}

QString CommandLine::help() const
{
    QString text = usage() + QLatin1Char('\n') + description_ + QStringLiteral("\n\noptions:\n");
    for (const Option &o : kOptions) {
        const QString names =
            QStringLiteral("-%1, --%2").arg(o.shortName).arg(QLatin1String(o.longName));
        text += QStringLiteral("  %1  %2\n").arg(names, -15).arg(QLatin1String(o.helpText));
    }
    return text;
}

CommandLine::Result CommandLine::parse(const QStringList &arguments) const
{
    Result result;
    QStringList unrecognized;
    // Applies one option; returns true when it ends parsing (help or version).
    auto apply = [&](QChar name) {
        switch (name.toLatin1()) {
        case 'h':
            result.action = Action::Help;
            result.output = help();
            return true;
        case 'v':
            result.action = Action::Version;
            result.output = version_ + QLatin1Char('\n');
            return true;
        case 'd':
            result.debug = true;
            return false;
        case 'f':
            result.force = true;
            return false;
        }
        return false;
    };

    for (const QString &arg : arguments) {
        if (arg.startsWith(QLatin1String("--")) && arg.size() > 2) {
            const QString prefix = arg.mid(2);
            const Option *match = nullptr;
            int matches = 0;
            for (const Option &o : kOptions) {
                if (QLatin1String(o.longName).startsWith(prefix)) {
                    match = &o;
                    ++matches;
                }
            }
            if (matches == 1) {
                if (apply(match->shortName))
                    return result;
            } else {
                unrecognized << arg;
            }
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1 &&
                   arg != QLatin1String("--")) {
            bool known = true;
            for (int i = 1; i < arg.size(); ++i) {
                bool found = false;
                for (const Option &o : kOptions)
                    found = found || o.shortName == arg.at(i);
                known = known && found;
            }
            if (!known) {
                unrecognized << arg;
                continue;
            }
            for (int i = 1; i < arg.size(); ++i)
                if (apply(arg.at(i)))
                    return result;
        } else {
            unrecognized << arg; // positional arguments are not accepted
        }
    }
    if (!unrecognized.isEmpty()) {
        result.action = Action::Error;
        result.exitCode = 2;
        result.output = usage() + QStringLiteral("%1: error: unrecognized arguments: %2\n")
                                      .arg(program_, unrecognized.join(QLatin1Char(' ')));
    }
    return result;
}
