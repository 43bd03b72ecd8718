#pragma once

// The agent's icon theme, where the tray and the About dialog look their icons up: IMG_DIR the
// only search path, QT5_THEME_NAME the theme. Both are application-wide Qt settings.
void installIconTheme();
