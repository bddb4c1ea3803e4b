#include "SegmentText.h"

#include <QPainter>
#include <QRect>
#include <algorithm>

namespace {

// Segments a..g as bits 0..6.
constexpr unsigned char kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                              0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr unsigned char kMinusSegments = 0x40;

int thickness(int height) { return std::max(1, height / 10); }

bool isNarrow(QChar c) { return c == QLatin1Char('.') || c == QLatin1Char(':'); }

int advance(QChar c, int height) {
    const int t = thickness(height);
    return isNarrow(c) ? 3 * t : height / 2 + 2 * t;
}

void drawSegments(QPainter* painter, int x, int y, int h, unsigned char segments,
                  const QColor& color) {
    const int w = h / 2;
    const int t = thickness(h);
    const int half = h / 2;
    const QRect rects[7] = {
        QRect(x + t, y, w - 2 * t, t),                 // a: top
        QRect(x + w - t, y + t, t, half - t),          // b: upper right
        QRect(x + w - t, y + half, t, h - half - t),   // c: lower right
        QRect(x + t, y + h - t, w - 2 * t, t),         // d: bottom
        QRect(x, y + half, t, h - half - t),           // e: lower left
        QRect(x, y + t, t, half - t),                  // f: upper left
        QRect(x + t, y + half - t / 2, w - 2 * t, t),  // g: middle
    };
    for (int i = 0; i < 7; ++i) {
        if (segments & (1u << i)) painter->fillRect(rects[i], color);
    }
}

}  // namespace

void SegmentText::draw(QPainter* painter, const QPoint& topLeft, const QString& text, int height,
                       const QColor& color) {
    int x = topLeft.x();
    const int y = topLeft.y();
    const int t = thickness(height);
    for (const QChar c : text) {
        if (c.isDigit() && c.digitValue() >= 0 && c.digitValue() <= 9) {
            drawSegments(painter, x, y, height, kDigitSegments[c.digitValue()], color);
        } else if (c == QLatin1Char('-')) {
            drawSegments(painter, x, y, height, kMinusSegments, color);
        } else if (c == QLatin1Char('.')) {
            painter->fillRect(QRect(x + t, y + height - t, t, t), color);
        } else if (c == QLatin1Char(':')) {
            painter->fillRect(QRect(x + t, y + height / 3, t, t), color);
            painter->fillRect(QRect(x + t, y + 2 * height / 3, t, t), color);
        }
        x += advance(c, height);
    }
}

int SegmentText::width(const QString& text, int height) {
    int total = 0;
    for (const QChar c : text) total += advance(c, height);
    return total;
}
