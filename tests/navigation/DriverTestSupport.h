#pragma once

#include <QtCore/QPointF>
#include <QtCore/QVector>
#include <memory>

#include "navigation/PositionDriver.h"

namespace navtest {

using kel::corvanta::navigation::PositionDriver;

/// A driver whose ramp stopwatches read a clock the test advances by hand.
struct ClockedDriver {
    std::shared_ptr<qint64> now = std::make_shared<qint64>(1000);
    PositionDriver driver{[clock = now] { return *clock; }};

    void advance(qint64 ms) { *now += ms; }
};

/// The distance-to-speed table the drive control builds for a top speed.
inline QVector<QPointF> speedTable(float vel) {
    return {QPointF(0.0, 0.0), QPointF(0.02f, 0.0), QPointF(0.02f, 0.04f), QPointF(0.3f, 0.05f),
            QPointF(1.0, vel)};
}

/// The angle-to-angular-speed table (degrees) the drive control builds for a top rate (rad/s).
inline QVector<QPointF> angularTable(float rotvel) {
    return {QPointF(0.0, 0.0), QPointF(0.5, 0.0), QPointF(0.5, 5.0),
            QPointF(20.0, rotvel * 180.0 / 3.1416)};
}

/// Target relative to the current pose, (x, y) in the robot frame, as the drive control sets it.
inline void setRelativeTarget(PositionDriver& d, float x, float y, float phi) {
    float tx = 0;
    float ty = 0;
    PositionDriver::rotate(x, y, tx, ty, d.actualPhi());
    d.setTarget(d.actualX() + tx, d.actualY() + ty, d.actualPhi() + phi);
}

}  // namespace navtest
