#include "navigation/PositionDriver.h"

#include <cmath>
#include <utility>

namespace kel::corvanta::navigation {

namespace {

QVector<QPointF> initialSpeedTable() {
    return {QPointF(0.0, 0.0), QPointF(0.02f, 0.0), QPointF(0.02f, 0.04f), QPointF(0.3f, 0.05f),
            QPointF(1.0, 0.3f)};
}

QVector<QPointF> initialAngularTable() {
    return {QPointF(0.0, 0.0), QPointF(0.5, 0.0), QPointF(0.5, 5.0), QPointF(20.0, 15.0)};
}

}  // namespace

PositionDriver::PositionDriver() : PositionDriver(Clock()) {}

PositionDriver::PositionDriver(Clock clock)
    : m_vTable(initialSpeedTable()),
      m_omegaTable(initialAngularTable()),
      m_clock(std::move(clock)) {
    m_elapsed.start();
}

void PositionDriver::setTarget(float x, float y, float phi) {
    m_targetX = x;
    m_targetY = y;
    m_targetPhi = phi;
}

void PositionDriver::setActualPose(float x, float y, float phi) {
    m_actualX = x;
    m_actualY = y;
    m_actualPhi = phi;
}

void PositionDriver::setVVector(const QVector<QPointF>& table) { m_vTable = table; }

void PositionDriver::setOmegaVector(const QVector<QPointF>& table) { m_omegaTable = table; }

void PositionDriver::setVelocityRamp(float ms) { m_velocityRampMs = ms; }

void PositionDriver::setAngularVelocityRamp(float ms) { m_angularVelocityRampMs = ms; }

void PositionDriver::start(Movement movement, bool restartVelRamp, bool restartOmegaRamp) {
    m_movement = movement;
    if (restartVelRamp) {
        restart(m_velocityRampTimer);
    }
    if (restartOmegaRamp) {
        restart(m_angularRampTimer);
    }
    m_positionReached = false;
    m_orientationReached = false;
    m_phase = 0;
}

void PositionDriver::update() {
    if (m_movement != TranslateThenRotate && m_movement != TranslateAndRotate &&
        m_movement != TurnDriveTurn && m_movement != DriveFacingThenRotate) {
        // Idle, and any value outside the enumeration, commands standstill.
        m_vx = 0;
        m_vy = 0;
        m_omega = 0;
        return;
    }

    const float dx = m_targetX - m_actualX;
    const float dy = m_targetY - m_actualY;
    float lx = 0;
    float ly = 0;
    rotate(dx, dy, lx, ly, -m_actualPhi);
    const float length = norm2(lx, ly);
    if (length > 0) {
        lx /= length;
        ly /= length;
    }

    m_distance = norm2(dx, dy);
    const float speed = lookup(m_vTable, m_distance);

    const bool facesTarget = m_movement == TurnDriveTurn || m_movement == DriveFacingThenRotate;
    if (facesTarget && !m_positionReached) {
        m_orientationError = std::atan2(ly, lx);
    } else {
        m_orientationError = mapToMinusPItoPI(m_targetPhi - m_actualPhi);
    }

    const float a = m_orientationError >= 0 ? lookup(m_omegaTable, rad2deg(m_orientationError))
                                            : -lookup(m_omegaTable, -rad2deg(m_orientationError));

    switch (m_movement) {
        case TranslateThenRotate:
            stepTranslateThenRotate(speed, lx, ly, a);
            break;
        case TranslateAndRotate:
            stepTranslateAndRotate(speed, lx, ly, a);
            break;
        case TurnDriveTurn:
            stepTurnDriveTurn(speed, lx, a);
            break;
        case DriveFacingThenRotate:
            stepDriveFacingThenRotate(speed, lx, ly, a);
            break;
        case Idle:
            break;
    }

    // The steps leave omega in degrees per second.
    m_omega = deg2rad(m_omega);
    const float vFactor = vramp();
    m_vx *= vFactor;
    m_vy *= vFactor;
    m_omega *= omegaramp();

    if (m_positionReached && m_orientationReached) {
        m_movement = Idle;
    }
}

void PositionDriver::stepTranslateThenRotate(float speed, float lx, float ly, float a) {
    if (!m_positionReached) {
        m_vx = speed * lx;
        m_vy = speed * ly;
        m_omega = 0;
        restart(m_angularRampTimer);
        if (speed == 0) {
            m_positionReached = true;
        }
    }
    if (m_positionReached) {
        m_vx = 0;
        m_vy = 0;
        m_omega = a;
        if (a == 0) {
            m_orientationReached = true;
            m_omega = 0;
        }
    }
}

void PositionDriver::stepTranslateAndRotate(float speed, float lx, float ly, float a) {
    if (m_positionReached) {
        m_vx = 0;
        m_vy = 0;
    } else {
        m_vx = speed * lx;
        m_vy = speed * ly;
    }
    m_omega = m_orientationReached ? 0.0f : a;
    if (speed == 0) {
        m_positionReached = true;
    }
    if (m_omega == 0) {
        m_orientationReached = true;
    }
}

void PositionDriver::stepTurnDriveTurn(float speed, float lx, float a) {
    switch (m_phase) {
        case 0:
            // Turn on the spot until the target lies ahead.
            m_vx = 0;
            m_omega = a;
            if (a == 0) {
                restart(m_velocityRampTimer);
                m_phase = 1;
            }
            break;
        case 1:
            // Drive along the robot's own x axis, steering on the bearing.
            m_vx = speed * lx;
            m_omega = a;
            if (speed == 0) {
                m_positionReached = true;
                restart(m_angularRampTimer);
                m_phase = 2;
            }
            break;
        case 2:
            // Turn on the spot to the target heading.
            m_omega = a;
            if (a == 0) {
                m_orientationReached = true;
                m_phase = 3;
            }
            break;
        default:
            // Finished: both flags are set, so the movement has already returned to Idle.
            m_vx = 0;
            m_omega = 0;
            break;
    }
    m_vy = 0;
}

void PositionDriver::stepDriveFacingThenRotate(float speed, float lx, float ly, float a) {
    switch (m_phase) {
        case 0:
            m_vx = speed * lx;
            m_vy = speed * ly;
            m_omega = a;
            if (speed == 0) {
                m_positionReached = true;
                restart(m_angularRampTimer);
                m_phase = 1;
            }
            break;
        case 1:
            m_omega = a;
            if (a == 0) {
                m_orientationReached = true;
                m_phase = 2;
            }
            break;
        default:
            m_vx = 0;
            m_vy = 0;
            m_omega = 0;
            break;
    }
}

float PositionDriver::vramp() const { return rampFactor(m_velocityRampMs, m_velocityRampTimer); }

float PositionDriver::omegaramp() const {
    return rampFactor(m_angularVelocityRampMs, m_angularRampTimer);
}

void PositionDriver::rotate(float x, float y, float& outX, float& outY, float angle) {
    const double c = std::cos(static_cast<double>(angle));
    const double s = std::sin(static_cast<double>(angle));
    const double xd = x;
    const double yd = y;
    outX = static_cast<float>(xd * c - yd * s);
    outY = static_cast<float>(yd * c + xd * s);
}

float PositionDriver::lookup(const QVector<QPointF>& table, float x) {
    if (table.isEmpty()) {
        return 0;
    }
    const double xd = x;
    if (xd < table.first().x()) {
        return static_cast<float>(table.first().y());
    }
    for (int i = 0; i + 1 < table.size(); ++i) {
        const QPointF& p = table.at(i);
        const QPointF& q = table.at(i + 1);
        if (p.x() <= xd && xd < q.x()) {
            return static_cast<float>(p.y() + (q.y() - p.y()) * (xd - p.x()) / (q.x() - p.x()));
        }
    }
    if (xd >= table.last().x()) {
        return static_cast<float>(table.last().y());
    }
    // Only an undefined argument (NaN) gets here: it commands no speed.
    return 0;
}

qint64 PositionDriver::nowMs() const { return m_clock ? m_clock() : m_elapsed.elapsed(); }

void PositionDriver::restart(Stopwatch& watch) const {
    watch.started = true;
    watch.startMs = nowMs();
}

float PositionDriver::rampFactor(float durationMs, const Stopwatch& watch) const {
    if (durationMs <= 0 || !watch.started) {
        return 1;
    }
    const qint64 t = nowMs() - watch.startMs;
    // A clock reading before the start (never with a monotonic clock) counts as just started.
    if (t <= 0) {
        return 0;
    }
    if (static_cast<float>(t) >= durationMs) {
        return 1;
    }
    return static_cast<float>(t) / durationMs;
}

}  // namespace kel::corvanta::navigation
