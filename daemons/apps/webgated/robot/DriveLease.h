#pragma once

#include <QByteArray>
#include <QString>
#include <mutex>

/// Who may drive: one driver at a time holds the drive while the robot drives and for two seconds
/// after its last drive command or keep-alive; the others are refused unless they take it over.
/// A driver is the id a page sends with its commands ("" for a client that sends none). The id
/// only tells pages apart: it is no proof of anything. Any thread; times on a monotonic clock.
class DriveLease {
public:
    /// How long the drive stays with its driver after its last drive command or keep-alive.
    static constexpr qint64 kHoldMs = 2000;
    /// The longest id kept; a longer one is cut (two pages never have ids that long).
    static constexpr int kMaxIdBytes = 64;

    struct Driver {
        QByteArray id;
        QString address;  // the client's address, printable and bounded
        QString agent;    // a short description of its browser
    };
    /// The driver who holds the drive now, as another client may see it.
    struct Holder {
        bool held = false;
        QString address;
        QString agent;
        qint64 sinceMs = 0;  // since it took the drive
        bool you = false;    // the asking driver holds it
    };
    enum class Claim {
        Granted,    // the sender drives (it held the drive, or nobody did)
        TakenOver,  // the sender drives now, after another who held it: stop the robot first
        Refused,    // another driver holds the drive; nothing changes
    };

    /// A drive command of `driver` at `nowMs` while the robot drives or not; with `takeOver` it
    /// takes the drive from a driver that holds it.
    Claim claim(const Driver& driver, bool takeOver, qint64 nowMs, bool driving);
    /// A keep-alive of driver `id`: refused while another holds the drive; the holder's own
    /// keeps the drive. Takes no free drive.
    bool keep(const QByteArray& id, qint64 nowMs, bool driving);
    /// Who holds the drive, as driver `id` sees it.
    Holder holder(const QByteArray& id, qint64 nowMs, bool driving) const;

    /// The driver id of a header value (nullptr: none, the driver "").
    static QByteArray idOf(const char* header);
    /// A client address for display: printable ASCII, at most 64 characters.
    static QString addressOf(const char* remoteAddr);
    /// A short description of a User-Agent: the browser's family ("Firefox on Android") where it
    /// is known, else its start as printable text.
    static QString agentOf(const char* userAgent);

private:
    bool isHeld(qint64 nowMs, bool driving) const;

    mutable std::mutex m_mutex;
    bool m_known = false;  // whether anyone has driven yet
    Driver m_driver;
    qint64 m_sinceMs = 0;
    qint64 m_lastMs = 0;
};
