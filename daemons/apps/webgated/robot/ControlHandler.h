#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <atomic>

#include "navigation/PositionDriver.h"

class QTimer;
namespace kel::corvanta::daemons {
class EventMailbox;
}

/// Drives the robot for the web page: velocity increments or a relative target pose, sent as
/// omnidrive set-points every 100 ms while a watchdog of 20 ticks is fed by drive commands and
/// alive(). Lives in the main thread; addDeltaVel, startPositionMode, stop and alive may be
/// called from any thread.
class ControlHandler : public QObject {
    Q_OBJECT
public:
    class AddDeltaVelEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        AddDeltaVelEvent(float dvx, float dvy, float domega)
            : QEvent(EventType), m_dvx(dvx), m_dvy(dvy), m_domega(domega) {}
        float dvx() const { return m_dvx; }
        float dvy() const { return m_dvy; }
        float domega() const { return m_domega; }

    private:
        float m_dvx;
        float m_dvy;
        float m_domega;
    };

    class StartPositionModeEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 1);
        StartPositionModeEvent(float x, float y, float phi, float vel, float rotvel, int mode)
            : QEvent(EventType),
              m_x(x),
              m_y(y),
              m_phi(phi),
              m_vel(vel),
              m_rotvel(rotvel),
              m_mode(mode) {}
        float x() const { return m_x; }
        float y() const { return m_y; }
        float phi() const { return m_phi; }
        float vel() const { return m_vel; }
        float rotvel() const { return m_rotvel; }
        int mode() const { return m_mode; }

    private:
        float m_x;
        float m_y;
        float m_phi;
        float m_vel;
        float m_rotvel;
        int m_mode;
    };

    class StopEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 2);
        StopEvent() : QEvent(EventType) {}
    };

    /// Ticks the watchdog grants after a drive command or alive().
    static constexpr int kAliveTicks = 20;
    static constexpr int kTimerIntervalMs = 100;
    /// Position mode needs odometry younger than this: to start, and for each set-point.
    static constexpr int kOdometryTimeoutMs = 1000;
    /// How long quitting waits for the standstill set-point to leave for the robot.
    static constexpr int kQuitFlushMs = 500;

    /// Connects to the client singleton's bumper, odometry and connection signals. Its first
    /// set-point is a standstill: at once when the client is connected, else as soon as it is.
    explicit ControlHandler(QObject* parent = nullptr);
    ~ControlHandler() override;

    /// Adds a velocity increment (robot frame, m/s and rad/s) in velocity mode. Any thread.
    void addDeltaVel(float dvx, float dvy, float domega);
    /// Drives to a pose relative to the current one; mode 0..3 picks the movement kind.
    /// Any thread.
    void startPositionMode(float x, float y, float phi, float vel, float rotvel, int mode);
    /// Stops driving. Any thread.
    void stop();
    /// Refills the watchdog so the current set-point keeps going for two more seconds. Any thread.
    void alive();

    /// Figures for monitoring, any thread: stops by the watchdog and by the bumper while driving,
    /// and the milliseconds since the last drive command or alive() (-1 before the first).
    quint64 watchdogStops() const { return m_watchdogStops.load(std::memory_order_relaxed); }
    quint64 bumperStops() const { return m_bumperStops.load(std::memory_order_relaxed); }
    qint64 heartbeatAgeMs() const;

    /// Starts the drive timer unless it runs. Main thread.
    void start();

    /// Main thread only: the controller of position mode and whether set-points are going out.
    const kel::corvanta::navigation::PositionDriver& positionDriver() const { return m_driver; }
    bool isDriving() const;
    bool isVelocityMode() const { return m_velocityMode; }
    /// Handles the drive events waiting now instead of at the next turn of the event loop.
    void deliverPending();

protected:
    void customEvent(QEvent* event) override;

private Q_SLOTS:
    void on_bumper_changed(bool contact);
    void on_odometry_changed(double x, double y, double phi, float vx, float vy, float omega,
                             unsigned int sequence);
    void on_timer_timeout();
    void on_clientConnected();
    void on_clientDisconnected();
    void on_aboutToQuit();

private:
    void addDeltaVel_i(float dvx, float dvy, float domega);
    void startPositionMode_i(float x, float y, float phi, float vel, float rotvel, int mode);
    void stop_i();
    void sendZero();
    bool hasFreshOdometry() const;

    kel::corvanta::navigation::PositionDriver m_driver;
    QTimer* m_timer;
    float m_vx = 0;
    float m_vy = 0;
    float m_omega = 0;
    bool m_velocityMode = true;
    std::atomic<int> m_alive{0};
    std::atomic<quint64> m_watchdogStops{0};
    std::atomic<quint64> m_bumperStops{0};
    std::atomic<qint64> m_lastAliveMs{-1};  // on the monotonic clock
    void noteAlive();
    QElapsedTimer m_sinceOdometry;  // invalid until the first odometry update
    bool m_zeroOwed = false;        // a standstill set-point that could not reach the robot
    bool m_startupZeroOwed = false;  // made before the first connection: a standstill goes first
    kel::corvanta::daemons::EventMailbox* m_mailbox;  // hands other threads' events over
};
