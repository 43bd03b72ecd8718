#pragma once

#include <QString>

// The desktop's system tray as Qt will reach it: a StatusNotifierWatcher with a host on the
// session bus, or on X11 the owner of the XEmbed tray selection. Probed without asking Qt,
// since Qt decides once whether the D-Bus route exists and never looks again.
class TrayHost
{
public:
    // "StatusNotifierWatcher" or "XEmbed tray host", in Qt's order of preference; empty
    // when neither is there. `platform`: Qt's platform plugin ("xcb", "wayland"); empty: the
    // running application's.
    static QString route(const QString &platform = {});

    // The way out on GNOME, which shows tray icons only with an extension.
    static QString gnomeHint();

    // Checks every `intervalMs` until route() finds a host or `seconds` have passed; true when
    // one was found.
    static bool waitFor(int seconds, int intervalMs = 500);
};
