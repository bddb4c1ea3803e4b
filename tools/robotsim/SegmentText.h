#pragma once

#include <QColor>
#include <QPoint>
#include <QString>

class QPainter;

/// Seven-segment digits drawn with filled rectangles, so the simulated camera needs no fonts.
/// Draws digits, '-', '.', ':' and spaces; other characters are left blank.
class SegmentText {
public:
    static void draw(QPainter* painter, const QPoint& topLeft, const QString& text, int height,
                     const QColor& color);
    static int width(const QString& text, int height);
};
