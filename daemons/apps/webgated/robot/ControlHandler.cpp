#include "robot/ControlHandler.h"

#include <QCoreApplication>
#include <QPointF>
#include <QTimer>
#include <QVector>
#include <algorithm>
#include <chrono>

#include "navigation/AngleMath.h"
#include "service/Client.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::EventMailbox;
using kel::corvanta::daemons::Log;
using kel::corvanta::navigation::PositionDriver;
namespace navigation = kel::corvanta::navigation;

namespace {

// General format with six significant digits, as the drive log lines show numbers.
QString number(float value) { return QString::number(static_cast<double>(value), 'g', 6); }

}  // namespace

ControlHandler::ControlHandler(QObject* parent)
    : QObject(parent), m_timer(new QTimer(this)), m_mailbox(new EventMailbox(this)) {
    m_timer->setInterval(kTimerIntervalMs);
    m_timer->setSingleShot(false);
    // Ticks on time, so that the twenty ticks and the two seconds agree.
    m_timer->setTimerType(Qt::PreciseTimer);

    Client* client = Client::singleton();
    bool ok = static_cast<bool>(
        connect(client, &Client::bumper_changed, this, &ControlHandler::on_bumper_changed));
    ok = connect(client, &Client::odometry_changed, this, &ControlHandler::on_odometry_changed) &&
         ok;
    ok = connect(m_timer, &QTimer::timeout, this, &ControlHandler::on_timer_timeout) && ok;
    ok = connect(client, &Client::is_connected, this, &ControlHandler::on_clientConnected) && ok;
    ok = connect(client, &Client::is_disconnected, this, &ControlHandler::on_clientDisconnected) &&
         ok;
    if (QCoreApplication* app = QCoreApplication::instance()) {
        ok = connect(app, &QCoreApplication::aboutToQuit, this, &ControlHandler::on_aboutToQuit) &&
             ok;
    }
    if (!ok) qFatal("ControlHandler: a signal-slot connection failed");

    // The robot may still hold the set-point of a daemon that ended without a word (a crash):
    // the first drive command it gets from us is a standstill.
    if (client->isConnected()) {
        client->set_omnidrive(0, 0, 0);
    } else {
        m_startupZeroOwed = true;
    }
}

ControlHandler::~ControlHandler() {
    // A handler going away while driving leaves the robot at standstill, not at its last set-point.
    if (m_timer->isActive() && Client::exists()) Client::singleton()->set_omnidrive(0, 0, 0);
}

void ControlHandler::addDeltaVel(float dvx, float dvy, float domega) {
    noteAlive();
    m_mailbox->post(new AddDeltaVelEvent(dvx, dvy, domega));
}

void ControlHandler::startPositionMode(float x, float y, float phi, float vel, float rotvel,
                                       int mode) {
    noteAlive();
    m_mailbox->post(new StartPositionModeEvent(x, y, phi, vel, rotvel, mode));
}

void ControlHandler::stop(StopReason reason) { m_mailbox->post(new StopEvent(reason)); }

void ControlHandler::alive() {
    m_alive.store(kAliveTicks);
    noteAlive();
}

void ControlHandler::noteAlive() { m_lastAliveMs.store(nowMs(), std::memory_order_relaxed); }

qint64 ControlHandler::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 ControlHandler::heartbeatAgeMs() const {
    const qint64 last = m_lastAliveMs.load(std::memory_order_relaxed);
    return last < 0 ? -1 : nowMs() - last;
}

bool ControlHandler::linkIsUp() const {
    return Client::exists() && Client::singleton()->link() == Client::Link::Up;
}

const char* ControlHandler::stopReasonName(StopReason reason) {
    switch (reason) {
        case StopReason::None: return "none";
        case StopReason::Request: return "request";
        case StopReason::Watchdog: return "watchdog";
        case StopReason::Bumper: return "bumper";
        case StopReason::Link: return "link";
        case StopReason::Shutdown: return "shutdown";
        case StopReason::Reached: return "reached";
        case StopReason::TakeOver: return "takeover";
    }
    return "none";
}

const char* ControlHandler::modeName(Mode mode) {
    switch (mode) {
        case Mode::Stopped: return "stopped";
        case Mode::Velocity: return "velocity";
        case Mode::Position: return "position";
    }
    return "stopped";
}

void ControlHandler::publish() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    const bool driving = m_timer->isActive();
    m_published.mode = !driving ? Mode::Stopped : m_velocityMode ? Mode::Velocity : Mode::Position;
    m_published.vx = driving ? m_sentVx : 0;
    m_published.vy = driving ? m_sentVy : 0;
    m_published.omega = driving ? m_sentOmega : 0;
    m_published.lastStop = m_lastStop;
    m_published.lastStopAgeMs = m_lastStopMs;  // a time until read
    if (m_published.mode == Mode::Position) {
        m_published.distanceLeft = navigation::norm2(m_driver.targetX() - m_driver.actualX(),
                                                     m_driver.targetY() - m_driver.actualY());
        m_published.angleLeft =
            navigation::mapToMinusPItoPI(m_driver.targetPhi() - m_driver.actualPhi());
    }
}

bool ControlHandler::drivingNow() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_published.mode != Mode::Stopped;
}

DriveLease::Claim ControlHandler::claimDrive(const DriveLease::Driver& driver, bool takeOver) {
    const DriveLease::Claim claim = m_lease.claim(driver, takeOver, nowMs(), drivingNow());
    if (claim == DriveLease::Claim::TakenOver) {
        // Posted before the new driver's command: that one starts from a standstill.
        stop(StopReason::TakeOver);
        daemonLog(QStringLiteral("ControlHandler: the drive was taken over by %1 (%2)")
                .arg(driver.address, driver.agent),
            1);
    }
    return claim;
}

bool ControlHandler::keepDrive(const QByteArray& id) {
    return m_lease.keep(id, nowMs(), drivingNow());
}

DriveLease::Holder ControlHandler::driveHolder(const QByteArray& id) const {
    return m_lease.holder(id, nowMs(), drivingNow());
}

ControlHandler::DriveState ControlHandler::driveState() const {
    DriveState state;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        state = m_published;
    }
    const qint64 now = nowMs();
    if (state.lastStopAgeMs >= 0) state.lastStopAgeMs = now - state.lastStopAgeMs;
    if (Client::exists()) {
        const Client* client = Client::singleton();
        state.link = static_cast<int>(client->link());
        state.lastMessageMs = client->lastMessageAgeMs();
    }
    if (state.mode != Mode::Stopped) {
        // Whichever rule of the watchdog comes first: the ticks left or the time left.
        const qint64 byTicks = qint64(std::max(0, m_alive.load())) * kTimerIntervalMs;
        const qint64 byTime = m_lastAliveMs.load(std::memory_order_relaxed) + kAliveMs - now;
        state.watchdogMs = std::max<qint64>(0, std::min(byTicks, byTime));
    }
    return state;
}

void ControlHandler::start() {
    if (m_timer->isActive()) return;
    m_lastTickMs = nowMs();
    m_timer->start();
    publish();
}

bool ControlHandler::isDriving() const { return m_timer->isActive(); }

void ControlHandler::deliverPending() { m_mailbox->deliverPending(); }

void ControlHandler::customEvent(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case AddDeltaVelEvent::EventType: {
            const auto* e = static_cast<AddDeltaVelEvent*>(event);
            addDeltaVel_i(e->dvx(), e->dvy(), e->domega());
            break;
        }
        case StartPositionModeEvent::EventType: {
            const auto* e = static_cast<StartPositionModeEvent*>(event);
            startPositionMode_i(e->x(), e->y(), e->phi(), e->vel(), e->rotvel(), e->mode());
            break;
        }
        case StopEvent::EventType:
            stop_i(static_cast<StopEvent*>(event)->reason());
            break;
        default:
            break;
    }
}

void ControlHandler::addDeltaVel_i(float dvx, float dvy, float domega) {
    // The link may have gone since the request was answered: nothing is armed without it.
    if (!linkIsUp()) {
        daemonLog(QStringLiteral("ControlHandler: no live link to the robot, drive command dropped"), 1);
        return;
    }
    m_velocityMode = true;
    m_vx += dvx;
    m_vy += dvy;
    m_omega += domega;
    daemonLog(QStringLiteral("ControlHandler::addDeltaVel_i( float dvx = %1, float dvy = %2, float "
                       "domega = %3 )")
            .arg(number(m_vx), number(m_vy), number(m_omega)),
        5);
    m_alive.store(kAliveTicks);
    start();
}

void ControlHandler::stop_i(StopReason reason) {
    m_vx = 0;
    m_vy = 0;
    m_omega = 0;
    // A stop also ends a position movement, so that nothing can resume it with its old outputs.
    m_driver.start(PositionDriver::Idle, false, false);
    m_driver.update();
    if (m_timer->isActive()) {
        m_timer->stop();
        sendZero();
        // A robot that fell silent may lose what was sent meanwhile: a standstill is owed too.
        if (reason == StopReason::Link) m_zeroOwed = true;
        if (reason != StopReason::None) {
            m_lastStop = reason;
            m_lastStopMs = nowMs();
        }
        daemonLog(QStringLiteral("ControlHandler::stop_i() set_omnidrive %1 %2 %3").arg(0).arg(0).arg(0),
            5);
        if (reason != StopReason::Request && reason != StopReason::None) {
            daemonLog(QStringLiteral("ControlHandler: driving stopped (%1)")
                    .arg(QLatin1String(stopReasonName(reason))),
                2);
        }
    }
    m_sentVx = m_sentVy = m_sentOmega = 0;
    publish();
    daemonLog(QStringLiteral("ControlHandler:stopped"), 5);
}

bool ControlHandler::hasFreshOdometry() const {
    return m_sinceOdometry.isValid() && m_sinceOdometry.elapsed() <= kOdometryTimeoutMs;
}

void ControlHandler::sendZero() {
    Client* client = Client::singleton();
    // Dropped while disconnected: owed to the robot until the connection is back.
    if (!client->isConnected()) m_zeroOwed = true;
    client->set_omnidrive(0, 0, 0);
}

void ControlHandler::startPositionMode_i(float x, float y, float phi, float vel, float rotvel,
                                         int mode) {
    if (!linkIsUp()) {
        daemonLog(QStringLiteral("ControlHandler: no live link to the robot, position drive dropped"), 1);
        return;
    }
    m_velocityMode = false;
    stop_i(StopReason::None);  // a new movement replaces the old one; it is no stop of its own

    if (vel > 0.5f) {
        vel = 0.5f;
    } else if (vel < 0.04f) {
        vel = 0.04f;
    }
    if (rotvel > 1.5708f) {
        rotvel = 1.5708f;
    } else if (rotvel < 0.0872667f) {
        rotvel = 0.0872667f;
    }
    m_driver.setVVector({QPointF(0.0, 0.0), QPointF(0.02f, 0.0), QPointF(0.02f, 0.04f),
                         QPointF(0.3f, 0.05f), QPointF(1.0, vel)});
    m_driver.setOmegaVector({QPointF(0.0, 0.0), QPointF(0.5, 0.0), QPointF(0.5, 5.0),
                             QPointF(20.0, static_cast<double>(rotvel) * 180.0 / 3.1416)});

    float turnedX = 0;
    float turnedY = 0;
    PositionDriver::rotate(x, y, turnedX, turnedY, m_driver.actualPhi());
    m_driver.setTarget(m_driver.actualX() + turnedX, m_driver.actualY() + turnedY,
                       m_driver.actualPhi() + phi);

    // A target relative to a pose that is unknown or out of date would be plainly wrong.
    if (!hasFreshOdometry()) {
        daemonLog(QStringLiteral("ControlHandler: no current odometry, position drive not started"), 1);
        mode = -1;
    }
    switch (mode) {
        case 0:
            m_driver.start(PositionDriver::TranslateThenRotate, false, true);
            break;
        case 1:
            m_driver.start(PositionDriver::TranslateAndRotate, false, true);
            break;
        case 2:
            m_driver.start(PositionDriver::TurnDriveTurn, false, true);
            break;
        case 3:
            m_driver.start(PositionDriver::DriveFacingThenRotate, false, true);
            break;
        default:
            break;
    }

    m_alive.store(kAliveTicks);
    start();
}

void ControlHandler::on_timer_timeout() {
    const qint64 now = nowMs();
    const qint64 gap = now - m_lastTickMs;
    m_lastTickMs = now;
    // Time, not ticks, is what the robot drives by: a main thread starved or frozen must not
    // stretch two seconds into many, nor resume an old set-point when it runs again.
    if (gap > kLateTickMs) {
        m_watchdogStops.fetch_add(1, std::memory_order_relaxed);
        m_lateTickStops.fetch_add(1, std::memory_order_relaxed);
        daemonLog(QStringLiteral("ControlHandler: the drive timer came %1 ms late, driving ends").arg(gap),
            1);
        stop_i(StopReason::Watchdog);
        return;
    }
    if (m_alive.load() <= 0 ||
        now - m_lastAliveMs.load(std::memory_order_relaxed) > kAliveMs + kAliveSlackMs) {
        m_watchdogStops.fetch_add(1, std::memory_order_relaxed);
        stop_i(StopReason::Watchdog);
        return;
    }
    if (!linkIsUp()) {
        stop_i(StopReason::Link);
        return;
    }
    // A stop clears both flags, so they speak only of a movement that ran and is done.
    if (!m_velocityMode && m_driver.isPositionReached() && m_driver.isOrientationReached()) {
        stop_i(StopReason::Reached);
        return;
    }
    m_alive.fetch_sub(1);

    float vx = 0;
    float vy = 0;
    float omega = 0;
    if (m_velocityMode) {
        vx = m_vx;
        vy = m_vy;
        omega = m_omega;
    } else if (hasFreshOdometry()) {
        // Without fresh odometry the controller's outputs are stale: standstill instead.
        vx = m_driver.vx();
        vy = m_driver.vy();
        omega = m_driver.omega();
    }
    Client::singleton()->set_omnidrive(vx, vy, omega);
    if (vx != m_sentVx || vy != m_sentVy || omega != m_sentOmega || m_published.mode == Mode::Stopped) {
        m_sentVx = vx;
        m_sentVy = vy;
        m_sentOmega = omega;
        publish();
    }
    daemonLog(QStringLiteral("ControlHandler::on_timer_timeout() set_omnidrive %1 %2 %3")
            .arg(number(vx), number(vy), number(omega)),
        5);
}

void ControlHandler::on_odometry_changed(double x, double y, double phi, float, float, float,
                                         unsigned int) {
    m_driver.setActualPose(static_cast<float>(x), static_cast<float>(y), static_cast<float>(phi));
    m_sinceOdometry.start();
    if (m_velocityMode) return;
    if (m_driver.isPositionReached() && m_driver.isOrientationReached()) return;
    // An idle controller (stopped, or never started) has nothing to step.
    if (m_driver.movement() == PositionDriver::Idle) return;
    m_driver.update();
    daemonLog(QStringLiteral("distanceToTargetOrientation = %1, omega = %2")
            .arg(number(m_driver.orientationError()), number(m_driver.omega())),
        0);
    if (!m_timer->isActive()) return;
    // There: the move ends now, not with the next tick, nor with the watchdog.
    if (m_driver.isPositionReached() && m_driver.isOrientationReached()) {
        stop_i(StopReason::Reached);
    } else {
        publish();  // what is left of the move
    }
}

void ControlHandler::on_bumper_changed(bool contact) {
    if (!contact) return;
    if (Client::singleton()->getParameter(QStringLiteral("~/Bumper/stopdriving"), true).toBool()) {
        if (isDriving()) m_bumperStops.fetch_add(1, std::memory_order_relaxed);
        stop(StopReason::Bumper);
    }
}

void ControlHandler::on_clientConnected() {
    // Whatever the robot held from before the loss of the connection is cleared; after a
    // reconnection only a standstill we still owe (a robot program may drive over its own link).
    // Nothing drives across an outage, so an owed standstill always goes first.
    if (m_startupZeroOwed || m_zeroOwed) Client::singleton()->set_omnidrive(0, 0, 0);
    m_startupZeroOwed = false;
    m_zeroOwed = false;
}

void ControlHandler::on_clientDisconnected() {
    // A lost connection ends driving: it never resumes on its own when the robot is back.
    if (m_timer->isActive()) stop_i(StopReason::Link);
}

void ControlHandler::on_aboutToQuit() {
    if (m_timer->isActive()) stop_i(StopReason::Shutdown);
    // The standstill goes on the wire now: whatever the shutdown waits for next, the robot has
    // already stopped.
    Client::singleton()->flush(kQuitFlushMs);
}
