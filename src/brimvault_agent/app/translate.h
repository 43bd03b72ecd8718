#pragma once

#include <QString>

// The translation of `phrase` in `context` through the installed translators; the phrase itself
// when none has it.
QString translate(const char *context, const char *phrase);
