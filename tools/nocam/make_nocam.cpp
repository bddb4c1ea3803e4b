// Draws the 320 x 240 no-camera picture: a crossed-out camera and "No camera image".
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_nocam OUTPUT.png\n");
        return 2;
    }

    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(QColor(0x30, 0x34, 0x3a));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // Camera body, lens and viewfinder in light grey.
    const QColor light(0xd8, 0xdc, 0xe0);
    painter.setPen(QPen(light, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(110, 52, 100, 68), 10, 10);
    painter.drawEllipse(QPointF(160, 86), 20, 20);
    painter.drawLine(QPointF(132, 52), QPointF(140, 40));
    painter.drawLine(QPointF(140, 40), QPointF(180, 40));
    painter.drawLine(QPointF(180, 40), QPointF(188, 52));

    // Red stroke across it.
    painter.setPen(QPen(QColor(0xe0, 0x40, 0x40), 8, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(104, 132), QPointF(216, 30));

    painter.setPen(Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(26);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(0, 148, 320, 36), Qt::AlignCenter, QStringLiteral("No camera image"));

    font.setPixelSize(15);
    font.setBold(false);
    painter.setFont(font);
    painter.setPen(light);
    painter.drawText(QRectF(0, 186, 320, 24), Qt::AlignCenter,
                     QStringLiteral("waiting for the robot's camera"));
    painter.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
