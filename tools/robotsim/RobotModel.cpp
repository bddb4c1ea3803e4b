#include "RobotModel.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfRoom = RobotModel::kRoomSize / 2;
constexpr double kLimit = kHalfRoom - RobotModel::kBodyRadius;  // how far the centre may go
constexpr double kContactTolerance = 1e-9;

double normalizeAngle(double angle) {
    angle = std::fmod(angle + kPi, 2 * kPi);
    if (angle < 0) angle += 2 * kPi;
    return angle - kPi;
}

// Largest fraction of the step `delta` from `position` that stays within [-limit, limit].
double allowedFraction(double position, double delta) {
    if (position + delta > kLimit && delta > 0) return std::max(0.0, (kLimit - position) / delta);
    if (position + delta < -kLimit && delta < 0) return std::max(0.0, (-kLimit - position) / delta);
    return 1.0;
}

}  // namespace

void RobotModel::setVelocity(double vx, double vy, double omega) {
    m_vx = vx;
    m_vy = vy;
    m_omega = omega;
}

void RobotModel::step(double dt) {
    if (!(dt > 0)) return;
    // Midpoint heading keeps an arc (translation while turning) accurate at coarse steps.
    const double heading = m_phi + m_omega * dt / 2;
    const double dx = (m_vx * std::cos(heading) - m_vy * std::sin(heading)) * dt;
    const double dy = (m_vx * std::sin(heading) + m_vy * std::cos(heading)) * dt;
    const double fraction = std::min(allowedFraction(m_x, dx), allowedFraction(m_y, dy));
    m_x = std::clamp(m_x + fraction * dx, -kLimit, kLimit);
    m_y = std::clamp(m_y + fraction * dy, -kLimit, kLimit);
    m_phi = normalizeAngle(m_phi + m_omega * dt);
    m_actualVx = fraction * m_vx;
    m_actualVy = fraction * m_vy;
    m_actualOmega = m_omega;
}

void RobotModel::setPose(double x, double y, double phi) {
    m_x = std::clamp(x, -kLimit, kLimit);
    m_y = std::clamp(y, -kLimit, kLimit);
    m_phi = normalizeAngle(phi);
}

bool RobotModel::inContact() const {
    return kLimit - std::fabs(m_x) <= kContactTolerance ||
           kLimit - std::fabs(m_y) <= kContactTolerance;
}

QVector<float> RobotModel::distanceReadings() const {
    QVector<float> readings(kSensorCount);
    for (int k = 0; k < kSensorCount; ++k) {
        const double angle = m_phi + k * kSensorSpacing * kPi / 180;
        const double dx = std::cos(angle);
        const double dy = std::sin(angle);
        double range = 1e9;
        if (std::fabs(dx) > 1e-12)
            range = std::min(range, ((dx > 0 ? kHalfRoom : -kHalfRoom) - m_x) / dx);
        if (std::fabs(dy) > 1e-12)
            range = std::min(range, ((dy > 0 ? kHalfRoom : -kHalfRoom) - m_y) / dy);
        readings[k] = static_cast<float>(std::max(0.0, range - kBodyRadius));
    }
    return readings;
}
