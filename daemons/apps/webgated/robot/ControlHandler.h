#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <mutex>

#include "navigation/PositionDriver.h"
#include "robot/DriveLease.h"

class QTimer;
namespace kel::corvanta::daemons {
class EventMailbox;
}

/// Drives the robot for the web page: velocity increments or a relative target pose, sent as
/// omnidrive set-points every 100 ms while a watchdog of 20 ticks and two seconds is fed by drive
/// commands and alive(). Drives only over a live robot link, for one driver at a time (DriveLease).
/// Lives in the main thread; addDeltaVel, startPositionMode, stop, alive, the drive's claims and
/// driveState may be called from any thread.
class ControlHandler : public QObject {
    Q_OBJECT
public:
    /// Why driving last ended.
    enum class StopReason { None, Request, Watchdog, Bumper, Link, Shutdown, Reached, TakeOver };
    static const char* stopReasonName(StopReason reason);
    enum class Mode { Stopped, Velocity, Position };
    static const char* modeName(Mode mode);

    /// What the page may know of driving, read from any thread.
    struct DriveState {
        int link = 2;               // a Client::Link
        qint64 lastMessageMs = -1;  // since the robot's newest message, -1 if none ever came
        Mode mode = Mode::Stopped;
        float vx = 0, vy = 0, omega = 0;  // the set-point being sent
        qint64 watchdogMs = 0;            // before the watchdog stops the robot, 0 when stopped
        StopReason lastStop = StopReason::None;
        qint64 lastStopAgeMs = -1;  // -1 before the first stop
        // In position mode: what is left of the move, from the last pose.
        float distanceLeft = 0;  // to the target position
        float angleLeft = 0;     // to the target heading, -pi to pi
    };
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
        explicit StopEvent(StopReason reason = StopReason::Request)
            : QEvent(EventType), m_reason(reason) {}
        StopReason reason() const { return m_reason; }

    private:
        StopReason m_reason;
    };

    /// Ticks the watchdog grants after a drive command or alive().
    static constexpr int kAliveTicks = 20;
    static constexpr int kTimerIntervalMs = 100;
    /// Time the watchdog grants after a drive command or alive(), whatever the ticks; the timer's
    /// own jitter is allowed for, so that twenty set-points go out when the ticks come on time.
    static constexpr int kAliveMs = 2000;
    static constexpr int kAliveSlackMs = kTimerIntervalMs / 2;
    /// A tick later than this after the one before ends driving: the base has stopped by itself.
    static constexpr int kLateTickMs = 500;
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
    void stop(StopReason reason = StopReason::Request);
    /// Refills the watchdog so the current set-point keeps going for two more seconds. Any thread.
    void alive();

    /// Figures for monitoring, any thread: stops by the watchdog and by the bumper while driving,
    /// and the milliseconds since the last drive command or alive() (-1 before the first).
    quint64 watchdogStops() const { return m_watchdogStops.load(std::memory_order_relaxed); }
    quint64 bumperStops() const { return m_bumperStops.load(std::memory_order_relaxed); }
    qint64 heartbeatAgeMs() const;

    /// A drive command's claim to the drive (DriveLease::claim). Taking the drive over from
    /// another driver stops the robot first: what the new driver sends follows a standstill.
    /// Any thread.
    DriveLease::Claim claimDrive(const DriveLease::Driver& driver, bool takeOver);
    /// A keep-alive's claim: false while another driver holds the drive. Any thread.
    bool keepDrive(const QByteArray& id);
    /// Who holds the drive, as driver `id` sees it. Any thread.
    DriveLease::Holder driveHolder(const QByteArray& id) const;

    /// Whether drive commands may go to the robot now: the link is up. Any thread.
    bool linkIsUp() const;
    /// The state of driving and of the robot link now. Any thread.
    DriveState driveState() const;
    /// Ticks that came too late and ended driving. Any thread.
    quint64 lateTickStops() const { return m_lateTickStops.load(std::memory_order_relaxed); }

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
    /// The monotonic clock all rules of time read, in milliseconds. Any thread.
    virtual qint64 nowMs() const;

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
    void stop_i(StopReason reason);
    void sendZero();
    bool hasFreshOdometry() const;
    void publish();
    bool drivingNow() const;  // as published, any thread

    kel::corvanta::navigation::PositionDriver m_driver;
    QTimer* m_timer;
    float m_vx = 0;
    float m_vy = 0;
    float m_omega = 0;
    bool m_velocityMode = true;
    std::atomic<int> m_alive{0};
    std::atomic<quint64> m_watchdogStops{0};
    std::atomic<quint64> m_bumperStops{0};
    std::atomic<quint64> m_lateTickStops{0};
    qint64 m_lastTickMs = 0;  // main thread, on the monotonic clock
    float m_sentVx = 0, m_sentVy = 0, m_sentOmega = 0;  // the set-point going out
    StopReason m_lastStop = StopReason::None;
    qint64 m_lastStopMs = -1;
    // The main thread's picture of driving, copied for the request thread.
    mutable std::mutex m_stateMutex;
    DriveState m_published;
    std::atomic<qint64> m_lastAliveMs{-1};  // on the monotonic clock
    DriveLease m_lease;
    void noteAlive();
    QElapsedTimer m_sinceOdometry;  // invalid until the first odometry update
    bool m_zeroOwed = false;        // a standstill set-point that could not reach the robot
    bool m_startupZeroOwed = false;  // made before the first connection: a standstill goes first
    kel::corvanta::daemons::EventMailbox* m_mailbox;  // hands other threads' events over
};
