#pragma once

// A program that scripts/test installs. Missing, it skips the test on a developer's machine and
// fails it under CI=true, where a skip would hide a dropped install step.

#include <QStandardPaths>
#include <QtTest>

#define NEED_INSTALLED(what, found, package)                                                       \
    do {                                                                                           \
        if (!(found)) {                                                                            \
            const QByteArray reason_ =                                                             \
                QByteArray(what) + " is not installed (package " package ")";                      \
            if (qgetenv("CI") == "true")                                                           \
                QFAIL((reason_ + "; CI installs it").constData());                                 \
            QSKIP(reason_.constData());                                                            \
        }                                                                                          \
    } while (false)

#define NEED_PROGRAM(program, package)                                                             \
    NEED_INSTALLED(program, !QStandardPaths::findExecutable(QStringLiteral(program)).isEmpty(),    \
                   package)
