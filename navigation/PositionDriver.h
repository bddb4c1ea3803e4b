#pragma once

#include <QtCore/QElapsedTimer>
#include <QtCore/QPointF>
#include <QtCore/QVector>
#include <QtCore/QtGlobal>
#include <functional>

#include "navigation/AngleMath.h"

namespace kel::corvanta::navigation {

/// Closed-loop controller that moves an omnidirectional robot to a target pose.
///
/// Each update() takes the last measured pose and computes a velocity set-point (vx, vy in
/// the robot frame, omega in rad/s) from two piecewise-linear tables: distance -> speed and
/// remaining angle (degrees) -> angular speed (degrees per second). No threads, no I/O.
class PositionDriver {
public:
    enum Movement {
        Idle = 0,
        TranslateThenRotate = 1,
        TranslateAndRotate = 2,
        TurnDriveTurn = 3,
        DriveFacingThenRotate = 4,
    };

    /// Monotonic time source in milliseconds; the default reads a QElapsedTimer.
    using Clock = std::function<qint64()>;

    PositionDriver();
    /// Uses the given clock for the two ramp stopwatches (tests advance it by hand).
    explicit PositionDriver(Clock clock);

    void setTarget(float x, float y, float phi);
    void setActualPose(float x, float y, float phi);
    void setVVector(const QVector<QPointF>& table);
    void setOmegaVector(const QVector<QPointF>& table);
    void setVelocityRamp(float ms);
    void setAngularVelocityRamp(float ms);

    /// Enters the movement with both reached flags clear and phase 0; the target is kept.
    void start(Movement movement, bool restartVelRamp, bool restartOmegaRamp);
    /// One control step on the last pose given to setActualPose().
    void update();

    /// Ramp factors in [0, 1] of the translational and the angular output.
    float vramp() const;
    float omegaramp() const;

    /// (outX, outY) = (x, y) turned counter-clockwise by angle (radians).
    static void rotate(float x, float y, float& outX, float& outY, float angle);
    /// Piecewise-linear value of the table at x; equal neighbouring x form a step where the
    /// later point applies; constant before the first and beyond the last point.
    static float lookup(const QVector<QPointF>& table, float x);

    float vx() const { return m_vx; }
    float vy() const { return m_vy; }
    float omega() const { return m_omega; }
    bool isPositionReached() const { return m_positionReached; }
    bool isOrientationReached() const { return m_orientationReached; }
    /// Angle in radians the angular law worked on in the last update().
    float orientationError() const { return m_orientationError; }
    /// Distance to the target position in the last update().
    float distance() const { return m_distance; }
    Movement movement() const { return m_movement; }
    int phase() const { return m_phase; }

    float targetX() const { return m_targetX; }
    float targetY() const { return m_targetY; }
    float targetPhi() const { return m_targetPhi; }
    float actualX() const { return m_actualX; }
    float actualY() const { return m_actualY; }
    float actualPhi() const { return m_actualPhi; }
    const QVector<QPointF>& vVector() const { return m_vTable; }
    const QVector<QPointF>& omegaVector() const { return m_omegaTable; }
    float velocityRamp() const { return m_velocityRampMs; }
    float angularVelocityRamp() const { return m_angularVelocityRampMs; }

private:
    struct Stopwatch {
        bool started = false;
        qint64 startMs = 0;
    };

    qint64 nowMs() const;
    void restart(Stopwatch& watch) const;
    float rampFactor(float durationMs, const Stopwatch& watch) const;

    void stepTranslateThenRotate(float speed, float lx, float ly, float a);
    void stepTranslateAndRotate(float speed, float lx, float ly, float a);
    void stepTurnDriveTurn(float speed, float lx, float a);
    void stepDriveFacingThenRotate(float speed, float lx, float ly, float a);

    QVector<QPointF> m_vTable;
    QVector<QPointF> m_omegaTable;
    float m_targetX = 0;
    float m_targetY = 0;
    float m_targetPhi = 0;
    float m_actualX = 0;
    float m_actualY = 0;
    float m_actualPhi = 0;
    float m_vx = 0;
    float m_vy = 0;
    float m_omega = 0;
    Movement m_movement = Idle;
    bool m_positionReached = false;
    bool m_orientationReached = false;
    float m_distance = 0;
    float m_orientationError = 0;
    float m_velocityRampMs = 500;
    float m_angularVelocityRampMs = 500;
    Stopwatch m_velocityRampTimer;
    Stopwatch m_angularRampTimer;
    int m_phase = 0;

    Clock m_clock;
    QElapsedTimer m_elapsed;
};

}  // namespace kel::corvanta::navigation
