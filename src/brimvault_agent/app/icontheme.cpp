#include "icontheme.h"

#include "agent/config/Config.h"

#include <QIcon>

void installIconTheme()
{
    QIcon::setThemeSearchPaths({config().IMG_DIR});
    QIcon::setThemeName(config().QT5_THEME_NAME);
}
