// Draws the agent's icon theme (tray icon at several sizes, About logo) into a directory.
// Run by hand when the artwork changes: icongen OUTDIR; the PNGs are committed under data/icons.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

// A vault door: blue rounded square, white ring, four bolts and a handle.
void drawMark(QPainter &p, const QRectF &r)
{
    const double s = r.width();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0x9e));
    p.drawRoundedRect(r.adjusted(s * 0.04, s * 0.04, -s * 0.04, -s * 0.04), s * 0.2, s * 0.2);
    const QPointF c = r.center();
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, s * 0.09));
    p.drawEllipse(c, s * 0.28, s * 0.28);
    p.setPen(QPen(Qt::white, s * 0.08, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c - QPointF(s * 0.12, 0), c + QPointF(s * 0.12, 0));
    p.drawLine(c - QPointF(0, s * 0.12), c + QPointF(0, s * 0.12));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf2, 0xb1, 0x34));
    p.drawEllipse(c, s * 0.06, s * 0.06);
}

bool writeIcon(const QString &dir, int size)
{
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    drawMark(p, QRectF(0, 0, size, size));
    p.end();
    const QString path = QStringLiteral("%1/%2x%2/apps").arg(dir).arg(size);
    QDir().mkpath(path);
    return img.save(path + QStringLiteral("/brimvault-agent.png"));
}

bool writeLogo(const QString &dir, int scale)
{
    const int w = 347 * scale, h = 51 * scale;
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    drawMark(p, QRectF(0, 0, h, h));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(int(h * 0.62));
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0x1f, 0x5f, 0x9e));
    p.drawText(QRectF(h * 1.2, 0, w - h * 1.2, h), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Brimvault"));
    p.end();
    const QString path = scale == 1 ? QStringLiteral("%1/logo/apps").arg(dir)
                                    : QStringLiteral("%1/logo@2x/apps").arg(dir);
    QDir().mkpath(path);
    return img.save(path + QStringLiteral("/brimvault-logo.png"));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {16, 22, 24, 32, 48, 64})
        ok = writeIcon(dir, size) && ok;
    ok = writeLogo(dir, 1) && ok;
    ok = writeLogo(dir, 2) && ok;
    return ok ? 0 : 1;
}
