#include "TrayIcons.h"

#include "agent/base/errors.h"
#include "agent/config/Config.h"
#include "agent/log/log.h"
#include "brimvault_agent/app/icontheme.h"

#include <QFileInfo>
#include <QImage>
#include <QPixmap>

namespace {

// Every pixel that is not fully transparent becomes opaque gray (128, 128, 128), half-transparent
// edges included; transparent ones stay transparent.
QPixmap graySilhouette(const QPixmap &source)
{
    const QImage in = source.toImage().convertToFormat(QImage::Format_ARGB32);
    QImage out(in.size(), QImage::Format_ARGB32);
    const QRgb gray = QColor(QStringLiteral("gray")).rgba();
    for (int y = 0; y < in.height(); ++y) {
        const auto *src = reinterpret_cast<const QRgb *>(in.constScanLine(y));
        auto *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < in.width(); ++x)
            dst[x] = qAlpha(src[x]) == 0 ? qRgba(0, 0, 0, 0) : gray;
    }
    QPixmap result = QPixmap::fromImage(out);
    result.setDevicePixelRatio(source.devicePixelRatio());
    return result;
}

} // namespace

TrayIcons TrayIcons::load()
{
    const Config &cfg = config();
    TrayIcons icons;
    if (cfg.QT5_USES_FAVICON_FILE && QFileInfo::exists(cfg.QT5_FAVICON_FILE)) {
        logger::warn(
            QStringLiteral("Create tray icon from static file %1").arg(cfg.QT5_FAVICON_FILE));
        icons.source = QIcon(cfg.QT5_FAVICON_FILE);
    } else {
        installIconTheme();
        icons.source = QIcon::fromTheme(cfg.QT5_ICON_FILE);
    }
    if (icons.source.isNull())
        throw AgentError(QStringLiteral("Tray icon not available"));
    const QList<QSize> sizes = icons.source.availableSizes();
    if (sizes.isEmpty())
        throw AgentError(QStringLiteral("Tray icon sizes not available"));
    const QSize size = sizes.first();
    icons.online = QIcon(icons.source.pixmap(size));
    icons.offline = QIcon(graySilhouette(icons.online.pixmap(size)));
    return icons;
}
