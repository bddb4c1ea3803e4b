#include "robot/DriveLease.h"

#include <cstring>
#include <string_view>

namespace {

// Only this much of a header is looked at: the web server bounds it, the display needs little.
constexpr size_t kScanBytes = 1024;
constexpr int kMaxAddressChars = 64;
constexpr int kMaxAgentChars = 32;

std::string_view bounded(const char* text) {
    return text ? std::string_view(text, strnlen(text, kScanBytes)) : std::string_view();
}

// Printable ASCII only, so that nothing read from a header can start a line or hide text.
QString printable(std::string_view text, int maxChars) {
    QString out;
    for (const char c : text) {
        if (out.size() >= maxChars) break;
        out.append(c >= 0x20 && c < 0x7f ? QLatin1Char(c) : QLatin1Char('?'));
    }
    return out.trimmed();
}

}  // namespace

bool DriveLease::isHeld(qint64 nowMs, bool driving) const {
    return m_known && (driving || nowMs - m_lastMs <= kHoldMs);
}

DriveLease::Claim DriveLease::claim(const Driver& driver, bool takeOver, qint64 nowMs,
                                    bool driving) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool held = isHeld(nowMs, driving);
    const bool other = held && m_driver.id != driver.id;
    if (other && !takeOver) return Claim::Refused;
    if (!held || other) m_sinceMs = nowMs;
    m_known = true;
    m_driver = driver;
    m_lastMs = nowMs;
    return other ? Claim::TakenOver : Claim::Granted;
}

bool DriveLease::keep(const QByteArray& id, qint64 nowMs, bool driving) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!isHeld(nowMs, driving)) return true;
    if (m_driver.id != id) return false;
    m_lastMs = nowMs;
    return true;
}

DriveLease::Holder DriveLease::holder(const QByteArray& id, qint64 nowMs, bool driving) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Holder holder;
    if (!isHeld(nowMs, driving)) return holder;
    holder.held = true;
    holder.address = m_driver.address;
    holder.agent = m_driver.agent;
    holder.sinceMs = nowMs - m_sinceMs;
    holder.you = m_driver.id == id;
    return holder;
}

QByteArray DriveLease::idOf(const char* header) {
    return header ? QByteArray(header, static_cast<int>(strnlen(header, kMaxIdBytes)))
                  : QByteArray("");
}

QString DriveLease::addressOf(const char* remoteAddr) {
    return printable(bounded(remoteAddr), kMaxAddressChars);
}

QString DriveLease::agentOf(const char* userAgent) {
    const std::string_view text = bounded(userAgent);
    const auto has = [&text](const char* token) { return text.find(token) != text.npos; };
    // The first token that names a family wins: Edge and Opera also say Chrome, Chrome says Safari.
    static const struct {
        const char* token;
        const char* family;
    } families[] = {
        {"Edg/", "Edge"},
        {"EdgA/", "Edge"},
        {"EdgiOS/", "Edge"},
        {"OPR/", "Opera"},
        {"SamsungBrowser/", "Samsung Internet"},
        {"Firefox/", "Firefox"},
        {"FxiOS/", "Firefox"},
        {"Chromium/", "Chromium"},
        {"Chrome/", "Chrome"},
        {"CriOS/", "Chrome"},
        {"Safari/", "Safari"},
        {"curl/", "curl"},
    };
    static const struct {
        const char* token;
        const char* platform;
    } platforms[] = {
        {"Android", "Android"}, {"iPhone", "iPhone"}, {"iPad", "iPad"},   {"CrOS", "ChromeOS"},
        {"Windows", "Windows"}, {"Macintosh", "Mac"}, {"Linux", "Linux"},
    };
    for (const auto& family : families) {
        if (!has(family.token)) continue;
        QString name = QLatin1String(family.family);
        for (const auto& platform : platforms) {
            if (has(platform.token)) {
                name += QLatin1String(" on ") + QLatin1String(platform.platform);
                break;
            }
        }
        return name;
    }
    return printable(text, kMaxAgentChars);
}
