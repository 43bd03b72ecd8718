#include "translate.h"

#include <QCoreApplication>

QString translate(const char *context, const char *phrase)
{
    return QCoreApplication::translate(context, phrase);
}
