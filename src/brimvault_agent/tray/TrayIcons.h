#pragma once

#include <QIcon>

// The tray's images: the source icon (the favicon file, or the theme's icon), the online image
// (the source at its first size only) and the offline one, a flat gray silhouette of it.
struct TrayIcons
{
    QIcon source, online, offline;

    // Throws AgentError "Tray icon not available" or "Tray icon sizes not available".
    static TrayIcons load();
};
