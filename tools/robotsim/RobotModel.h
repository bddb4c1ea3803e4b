#pragma once

#include <QVector>

/// An omnidirectional round robot in a square walled room centred on the origin, stepped by
/// explicit calls. Velocities are in the robot's own frame; the pose is in the room's frame.
class RobotModel {
public:
    static constexpr double kRoomSize = 4.0;    // metres, wall to wall
    static constexpr double kBodyRadius = 0.2;  // metres
    static constexpr int kSensorCount = 9;
    static constexpr double kSensorSpacing = 40.0;  // degrees between neighbouring sensors

    /// Holds until the next call.
    void setVelocity(double vx, double vy, double omega);
    /// Advances the pose by `dt` seconds; a wall in the way stops the translation at contact.
    void step(double dt);
    void setPose(double x, double y, double phi);

    double x() const { return m_x; }
    double y() const { return m_y; }
    /// Heading in radians, within [-pi, pi).
    double phi() const { return m_phi; }
    /// Robot-frame velocities actually driven in the last step (0 while blocked by a wall).
    double actualVx() const { return m_actualVx; }
    double actualVy() const { return m_actualVy; }
    double actualOmega() const { return m_actualOmega; }
    /// True while the last set-point asks for any motion.
    bool isCommandedToMove() const { return m_vx != 0 || m_vy != 0 || m_omega != 0; }
    /// True while the body touches a wall.
    bool inContact() const;
    /// Distance from each sensor on the body surface to the wall along its direction; sensor k
    /// looks at heading + k * 40 degrees.
    QVector<float> distanceReadings() const;

private:
    double m_x = 0, m_y = 0, m_phi = 0;
    double m_vx = 0, m_vy = 0, m_omega = 0;
    double m_actualVx = 0, m_actualVy = 0, m_actualOmega = 0;
};
