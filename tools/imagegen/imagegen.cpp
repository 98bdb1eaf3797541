// Draws the station's icons and indicator images into a folder as PNG files.
// Usage: hydrovane-imagegen <output-folder>
//        hydrovane-imagegen --icons <output-folder> <size>...
// The second form draws the application icon into the icon theme's folders,
// <output-folder>/<size>x<size>/apps/hydrovane.png, sharp at every size.

#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <QtMath>

#include <cmath>
#include <functional>

namespace {

// One flat palette for every image.
const QColor kBlue(0x1E, 0x88, 0xE5);
const QColor kBlueLight(0x64, 0xB5, 0xF6);
const QColor kBlueDark(0x15, 0x65, 0xC0);
const QColor kSlate(0x45, 0x5A, 0x64);
const QColor kSlateDark(0x37, 0x47, 0x4F);
const QColor kScreen(0xE3, 0xF2, 0xFD);
const QColor kGreen(0x43, 0xA0, 0x47);
const QColor kGreenDark(0x2E, 0x7D, 0x32);
const QColor kRed(0xE5, 0x39, 0x35);
const QColor kRedDark(0xC6, 0x28, 0x28);
const QColor kGrey(0x9A, 0xA0, 0xA6);
const QColor kGreyDark(0x78, 0x7E, 0x84);

using Painter = std::function<void(QPainter &, const QSizeF &)>;

bool render(const QString &dir, const QString &name, QSize size, const Painter &draw)
{
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing
                         | QPainter::SmoothPixmapTransform);
        draw(p, QSizeF(size));
    }
    const QString path = QDir(dir).filePath(name);
    if (!img.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    return true;
}

// Drop outline: pointed top, round bottom, fitted inside `box`.
QPainterPath dropPath(const QRectF &box)
{
    const double r = box.width() / 2.0;
    const QPointF c(box.center().x(), box.bottom() - r);
    const QPointF tip(c.x(), box.top());
    const double d = c.y() - tip.y();
    const double s = r / d;                       // sine of tangent angle
    const double deg = qRadiansToDegrees(std::asin(s));
    const QPointF right(c.x() + r * std::sqrt(1.0 - s * s), c.y() - r * s);
    const QPointF left(c.x() - r * std::sqrt(1.0 - s * s), c.y() - r * s);

    QPainterPath path;
    path.moveTo(tip);
    // Slightly convex sides.
    const QPointF midR = (tip + right) / 2.0 + QPointF(r * 0.12, 0);
    const QPointF midL = (tip + left) / 2.0 - QPointF(r * 0.12, 0);
    path.quadTo(midR, right);
    path.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), deg, -(180.0 + 2 * deg));
    path.quadTo(midL, tip);
    path.closeSubpath();
    return path;
}

// Water drop with a trend line across it: the application motif.
void drawDropIcon(QPainter &p, const QSizeF &size)
{
    const double w = size.width();
    const double h = size.height();
    const double dw = w * 0.70;
    const QRectF box((w - dw) / 2.0, h * 0.05, dw, h * 0.90);
    const QPainterPath drop = dropPath(box);

    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawPath(drop);

    // Trend line and the darker water below it.
    const double x0 = box.left();
    const double x1 = box.right();
    const double bw = x1 - x0;
    const double y = box.top() + box.height() * 0.62;
    const double a = box.height() * 0.09;
    QPolygonF line;
    line << QPointF(x0 - 1, y + a * 0.2)
         << QPointF(x0 + bw * 0.22, y + a * 0.2)
         << QPointF(x0 + bw * 0.38, y - a * 1.4)
         << QPointF(x0 + bw * 0.56, y + a * 1.1)
         << QPointF(x0 + bw * 0.72, y - a * 0.5)
         << QPointF(x1 + 1, y - a * 0.5);

    QPainterPath below;
    below.addPolygon(line);
    below.lineTo(x1 + 1, box.bottom() + 1);
    below.lineTo(x0 - 1, box.bottom() + 1);
    below.closeSubpath();

    p.save();
    p.setClipPath(drop);
    p.setBrush(kBlueDark);
    p.drawPath(below);
    QPen pen(Qt::white, std::max(2.0, w * 0.055), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(line);
    p.restore();

    // Highlight on the upper left of the bulb.
    QPen hl(QColor(255, 255, 255, 170), std::max(1.5, w * 0.045), Qt::SolidLine, Qt::RoundCap);
    p.setPen(hl);
    const double r = dw / 2.0;
    const QPointF c(box.center().x(), box.bottom() - r);
    const QRectF inner(c.x() - r * 0.62, c.y() - r * 0.62, r * 1.24, r * 1.24);
    p.drawArc(inner, 115 * 16, 45 * 16);
}

// A small analyser: housing, screen with a trend, two keys.
void drawMonitor(QPainter &p, const QSizeF &size)
{
    const double w = size.width();
    const double h = size.height();
    const QRectF body(w * 0.09, h * 0.06, w * 0.82, h * 0.88);
    p.setPen(Qt::NoPen);
    p.setBrush(kSlate);
    p.drawRoundedRect(body, w * 0.12, w * 0.12);

    const QRectF screen(body.left() + w * 0.10, body.top() + h * 0.10,
                        body.width() - w * 0.20, body.height() * 0.50);
    p.setBrush(kScreen);
    p.drawRoundedRect(screen, w * 0.04, w * 0.04);

    QPolygonF trend;
    const double sx = screen.left() + 2;
    const double sw = screen.width() - 4;
    const double sy = screen.top();
    const double sh = screen.height();
    trend << QPointF(sx, sy + sh * 0.70)
          << QPointF(sx + sw * 0.30, sy + sh * 0.70)
          << QPointF(sx + sw * 0.48, sy + sh * 0.22)
          << QPointF(sx + sw * 0.66, sy + sh * 0.80)
          << QPointF(sx + sw * 0.80, sy + sh * 0.45)
          << QPointF(sx + sw, sy + sh * 0.45);
    p.setPen(QPen(kBlue, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(trend);

    // Status light and a key under the screen.
    const double ky = screen.bottom() + (body.bottom() - screen.bottom()) / 2.0;
    const double kr = w * 0.075;
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(screen.left() + kr, ky), kr, kr);
    p.setBrush(kBlueLight);
    p.drawRoundedRect(QRectF(screen.right() - w * 0.32, ky - kr, w * 0.32, 2 * kr), kr, kr);
}

void drawHome(QPainter &p, const QSizeF &size)
{
    const double w = size.width();
    const double h = size.height();

    QPainterPath house;
    house.moveTo(w * 0.50, h * 0.08);
    house.lineTo(w * 0.96, h * 0.50);
    house.lineTo(w * 0.82, h * 0.50);
    house.lineTo(w * 0.82, h * 0.92);
    house.lineTo(w * 0.18, h * 0.92);
    house.lineTo(w * 0.18, h * 0.50);
    house.lineTo(w * 0.04, h * 0.50);
    house.closeSubpath();

    QPainterPath door;
    door.addRoundedRect(QRectF(w * 0.40, h * 0.60, w * 0.20, h * 0.33), w * 0.04, w * 0.04);

    QPainterPath chimney;
    chimney.addRect(QRectF(w * 0.68, h * 0.14, w * 0.10, h * 0.24));

    p.setPen(QPen(kBlue, w * 0.04, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kBlue);
    p.drawPath(house.united(chimney).subtracted(door));
}

// Power symbol on a red disc.
void drawClose(QPainter &p, const QSizeF &size)
{
    const double w = size.width();
    const QPointF c(w / 2.0, size.height() / 2.0);
    const double r = w / 2.0 - 1.0;
    p.setPen(Qt::NoPen);
    p.setBrush(kRed);
    p.drawEllipse(c, r, r);

    const double ir = r * 0.52;
    QPen pen(Qt::white, w * 0.10, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(c.x() - ir, c.y() - ir, 2 * ir, 2 * ir), 55 * 16, -290 * 16);
    p.drawLine(QPointF(c.x(), c.y() - r * 0.66), QPointF(c.x(), c.y() - r * 0.05));
}

// Round run indicator; only the running one glows.
void drawIndicator(QPainter &p, const QSizeF &size, const QColor &fill, const QColor &edge,
                   bool running)
{
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    const double outer = size.width() / 2.0;
    const double r = outer * 0.78;

    if (running) {
        QRadialGradient halo(c, outer);
        QColor glow = fill;
        glow.setAlpha(120);
        QColor none = fill;
        none.setAlpha(0);
        halo.setColorAt(r / outer - 0.05, glow);
        halo.setColorAt(1.0, none);
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(c, outer, outer);
    }

    p.setBrush(fill);
    p.setPen(QPen(edge, 1.0));
    p.drawEllipse(c, r - 0.5, r - 0.5);

    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    if (running) {
        const double t = r * 0.50;
        QPolygonF tri;
        tri << QPointF(c.x() - t * 0.55, c.y() - t)
            << QPointF(c.x() + t * 0.95, c.y())
            << QPointF(c.x() - t * 0.55, c.y() + t);
        p.setPen(QPen(Qt::white, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolygon(tri);
    } else {
        const double s = r * 0.40;
        p.drawRoundedRect(QRectF(c.x() - s, c.y() - s, 2 * s, 2 * s), 1.0, 1.0);
    }
}

// Toggle switch filling the image: rounded track, white knob, optional label.
void drawToggle(QPainter &p, const QSizeF &size, bool on, bool label)
{
    const QRectF track(0.5, 0.5, size.width() - 1.0, size.height() - 1.0);
    const double rad = track.height() / 2.0;
    p.setPen(QPen(on ? kGreenDark : kGreyDark, 1.0));
    p.setBrush(on ? kGreen : kGrey);
    p.drawRoundedRect(track, rad, rad);

    const double kr = rad - std::max(2.0, size.height() * 0.09);
    const double kx = on ? track.right() - rad : track.left() + rad;
    const QPointF kc(kx, track.center().y());
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 45));
    p.drawEllipse(kc + QPointF(0, 1.0), kr, kr);
    p.setBrush(Qt::white);
    p.drawEllipse(kc, kr, kr);

    if (!label)
        return;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(qRound(size.height() * 0.42));
    p.setFont(font);
    p.setPen(Qt::white);
    const double gap = 2.0 * rad;
    const QRectF text = on ? QRectF(track.left() + rad * 0.4, track.top(),
                                    track.width() - gap - rad * 0.4, track.height())
                           : QRectF(track.left() + gap, track.top(),
                                    track.width() - gap - rad * 0.4, track.height());
    p.drawText(text, Qt::AlignCenter, on ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    if (argc >= 4 && QLatin1String(argv[1]) == QLatin1String("--icons")) {
        bool ok = true;
        for (int i = 3; i < argc; ++i) {
            const int size = QString::fromLatin1(argv[i]).toInt();
            const QString dir =
                QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
            if (size < 1 || size > 1024 || !QDir().mkpath(dir)) {
                QTextStream(stderr) << "cannot make the icon " << argv[i] << " in " << dir << '\n';
                return 1;
            }
            ok = render(dir, QStringLiteral("hydrovane.png"), {size, size}, drawDropIcon) && ok;
        }
        return ok ? 0 : 1;
    }
    if (argc != 2) {
        QTextStream(stderr) << "usage: hydrovane-imagegen <output-folder>\n"
                               "       hydrovane-imagegen --icons <output-folder> <size>...\n";
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(dir)) {
        QTextStream(stderr) << "cannot create " << dir << '\n';
        return 1;
    }

    using namespace std::placeholders;
    const struct {
        const char *name;
        QSize size;
        Painter draw;
    } images[] = {
        {"app.png", {64, 64}, drawDropIcon},
        {"logo.png", {60, 60}, drawDropIcon},
        {"monitor.png", {32, 32}, drawMonitor},
        {"home.png", {32, 32}, drawHome},
        {"close.png", {32, 32}, drawClose},
        {"running.png", {24, 24},
         [](QPainter &p, const QSizeF &s) { drawIndicator(p, s, kGreen, kGreenDark, true); }},
        {"stop.png", {24, 24},
         [](QPainter &p, const QSizeF &s) { drawIndicator(p, s, kRed, kRedDark, false); }},
        {"system_on.png", {80, 32}, std::bind(drawToggle, _1, _2, true, true)},
        {"system_off.png", {80, 32}, std::bind(drawToggle, _1, _2, false, true)},
        {"switch_on.png", {48, 24}, std::bind(drawToggle, _1, _2, true, false)},
        {"switch_off.png", {48, 24}, std::bind(drawToggle, _1, _2, false, false)},
    };

    bool ok = true;
    for (const auto &img : images)
        ok = render(dir, QString::fromLatin1(img.name), img.size, img.draw) && ok;
    return ok ? 0 : 1;
}
