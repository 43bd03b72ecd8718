#pragma once

#include <QTranslator>

// The agent's three translators: Qt's own strings, the English fallback and the system locale's
// file. They stay installed for as long as this object lives, which must outlive the event loop.
class Translations
{
public:
    // Loads each translator and installs those that loaded, in the order Qt base, fallback,
    // default (the last installed is consulted first); logs a warn line for each that did not.
    void install();

private:
    QTranslator qtBase;
    QTranslator fallback;
    QTranslator systemLocale;
};
