#include "request/AccessGuard.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cstring>

#include "service/Client.h"
#include "base/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "base/TextChecks.h"

using kel::corvanta::daemons::Log;

namespace {

// The value of "NAME=value" when the entry's name is `name`, else nullptr.
const char* valueOf(const char* entry, const char* name, size_t length) {
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=' ? entry + length + 1 : nullptr;
}

bool isEmpty(const char* text) { return !text || !*text; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The authority of a URL ("http://user@host:8080/path" -> "host:8080"); the whole text when it
// has no scheme (Origin "null").
std::string_view authorityOf(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return url;
    url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    const size_t at = url.rfind('@');
    if (at != std::string_view::npos) url.remove_prefix(at + 1);
    return url;
}

// The port a URL reaches: its own, or its scheme's.
std::string portOf(std::string_view url) {
    std::string port;
    AccessGuard::hostOf(authorityOf(url), &port);
    if (!port.empty()) return port;
    if (url.substr(0, 8) == "https://") return "443";
    if (url.substr(0, 7) == "http://") return "80";
    return port;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// True when the page that made the request is the one `host` names.
bool isSameOrigin(const char* url, const char* host) {
    std::string hostPort;
    const std::string hostName = AccessGuard::hostOf(host, &hostPort);
    if (AccessGuard::hostOf(authorityOf(url)) != hostName) return false;
    // nginx passes the host without its port; compare ports only when there is one.
    return hostPort.empty() || portOf(url) == hostPort;
}

QString shown(const char* value) {
    return value ? QLatin1Char('"') + TextChecks::printable(value) + QLatin1Char('"') : QStringLiteral("-");
}

QByteArray readSmallFile(const QString& robotPath) {
    QFile file(FsRoot::fsPath(robotPath));
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.read(64 * 1024);
}

void addName(AccessGuard::HostNames& names, const QString& name) {
    const std::string host = AccessGuard::hostOf(name.trimmed().toStdString());
    if (!host.empty() && std::find(names.begin(), names.end(), host) == names.end()) {
        names.push_back(host);
    }
}

}  // namespace

RequestHeaders RequestHeaders::fromEnvironment(const char* const* envp) {
    RequestHeaders headers;
    if (!envp) return headers;
    for (; *envp; ++envp) {
        const char* entry = *envp;
        if (entry[0] == 'R') {
            if (const char* v = valueOf(entry, "REQUEST_METHOD", 14)) headers.method = v;
            if (const char* v = valueOf(entry, "REMOTE_ADDR", 11)) headers.remoteAddr = v;
            continue;
        }
        if (entry[0] == 'Q') {
            if (const char* v = valueOf(entry, "QUERY_STRING", 12)) headers.query = v;
            continue;
        }
        if (std::strncmp(entry, "HTTP_", 5) != 0) continue;
        const char* name = entry + 5;
        const char* v = nullptr;
        switch (name[0]) {
            case 'H':
                if ((v = valueOf(name, "HOST", 4))) headers.host = v;
                break;
            case 'O':
                if ((v = valueOf(name, "ORIGIN", 6))) headers.origin = v;
                break;
            case 'R':
                if ((v = valueOf(name, "REFERER", 7))) headers.referer = v;
                break;
            case 'S':
                if (std::strncmp(name, "SEC_FETCH_", 10) == 0) {
                    headers.anySecFetch = true;
                    if ((v = valueOf(name, "SEC_FETCH_SITE", 14))) headers.secFetchSite = v;
                }
                break;
            case 'U':
                if ((v = valueOf(name, "USER_AGENT", 10))) headers.userAgent = v;
                break;
            case 'X':
                if ((v = valueOf(name, "X_WEBGATED_PAGE", 15))) headers.pageMark = v;
                if ((v = valueOf(name, "X_WEBGATED_DRIVER", 17))) headers.driver = v;
                break;
            default:
                break;
        }
    }
    return headers;
}

AccessGuard::AccessGuard(std::function<HostNames()> loadNames) : m_loadNames(std::move(loadNames)) {}

std::string AccessGuard::hostOf(std::string_view authority, std::string* port) {
    std::string host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::string();
        host.assign(authority.substr(0, close + 1));
        rest = authority.substr(close + 1);
    } else {
        const size_t colon = authority.find(':');
        host.assign(authority.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (port) port->assign(!rest.empty() && rest.front() == ':' ? rest.substr(1) : std::string_view());
    for (char& c : host) c = lower(c);
    if (!host.empty() && host.back() == '.') host.pop_back();
    return host;
}

bool AccessGuard::isIpLiteral(const std::string& host) {
    unsigned char address[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), address) == 1;
}

bool AccessGuard::isBrowser(const RequestHeaders& headers) {
    return (headers.userAgent && startsWith(headers.userAgent, "Mozilla/")) || headers.origin ||
           headers.referer || headers.anySecFetch;
}

namespace {

bool isAllowedHost(const std::string& host, const AccessGuard::HostNames& names) {
    if (host == "localhost" || AccessGuard::isIpLiteral(host)) return true;
    return std::find(names.begin(), names.end(), host) != names.end();
}

}  // namespace

AccessVerdict AccessGuard::decide(CommandAccess access, const RequestHeaders& headers,
                                  const HostNames& names) {
    return decide(access, headers, isEmpty(headers.host) || isAllowedHost(hostOf(headers.host), names));
}

AccessVerdict AccessGuard::decide(CommandAccess access, const RequestHeaders& headers, bool hostAllowed) {
    // A preflight is never granted: a page of another origin can send no header of its own.
    if (headers.method && std::strcmp(headers.method, "OPTIONS") == 0) return AccessVerdict::MethodNotAllowed;
    if (access == CommandAccess::Open) return AccessVerdict::Allowed;
    // A HEAD only asks for headers: nothing is done on the robot for it.
    if (access == CommandAccess::Acting && headers.method && std::strcmp(headers.method, "HEAD") == 0) {
        return AccessVerdict::MethodNotAllowed;
    }
    if (!hostAllowed) return AccessVerdict::HostNotAllowed;
    if (access != CommandAccess::Acting || !isBrowser(headers)) return AccessVerdict::Allowed;
    // Browsers send no fetch metadata and no Origin to a plain-http robot for an image or a
    // no-cors request: the mark, which only a same-origin page can add, is what counts.
    if (!headers.pageMark || std::strcmp(headers.pageMark, "1") != 0) return AccessVerdict::CrossSite;
    if (headers.secFetchSite && std::strcmp(headers.secFetchSite, "same-origin") != 0 &&
        std::strcmp(headers.secFetchSite, "none") != 0) {
        return AccessVerdict::CrossSite;
    }
    const char* page = headers.origin ? headers.origin : headers.referer;
    if (page && !isEmpty(headers.host) && !isSameOrigin(page, headers.host)) return AccessVerdict::CrossSite;
    return AccessVerdict::Allowed;
}

AccessVerdict AccessGuard::check(CommandAccess access, const RequestHeaders& headers, const char* command) {
    if (isEmpty(headers.host)) {
        if (!m_sawHost && !m_toldNoHost) {
            m_toldNoHost = true;
            Log::singleton()->log(
                QStringLiteral("the host name check is off: the web server passes no Host (HTTP_HOST); "
                               "pages reached under any name that leads here are answered"),
                0);
        }
    } else {
        m_sawHost = true;
    }
    if (!m_loaded) {
        m_names = m_loadNames();
        m_loaded = true;
    }
    // A page sends the same Host with every request: the last one allowed needs no second look.
    bool hostAllowed = isEmpty(headers.host) || m_lastAllowedHost == headers.host;
    if (!hostAllowed && isAllowedHost(hostOf(headers.host), m_names)) hostAllowed = true;
    AccessVerdict verdict = decide(access, headers, hostAllowed);
    if (verdict == AccessVerdict::HostNotAllowed) {
        // The machine's names can change while the daemon runs.
        m_names = m_loadNames();
        m_lastAllowedHost.clear();
        hostAllowed = isAllowedHost(hostOf(headers.host), m_names);
        verdict = decide(access, headers, hostAllowed);
    }
    if (hostAllowed && !isEmpty(headers.host)) m_lastAllowedHost = headers.host;
    if (verdict != AccessVerdict::CrossSite && verdict != AccessVerdict::HostNotAllowed) return verdict;

    const bool host = verdict == AccessVerdict::HostNotAllowed;
    QString line = QStringLiteral("REFUSED ") + QString::fromLatin1(command ? command : "(no command)") +
                   (host ? QStringLiteral(": HOST NOT ALLOWED") : QStringLiteral(": CROSS-SITE REQUEST REFUSED")) +
                   QStringLiteral(" (Host ") + shown(headers.host) + QStringLiteral(", Origin ") +
                   shown(headers.origin) + QStringLiteral(", Referer ") + shown(headers.referer) +
                   QStringLiteral(", Sec-Fetch-Site ") + shown(headers.secFetchSite) +
                   QStringLiteral(", X-Webgated-Page ") + shown(headers.pageMark) +
                   QStringLiteral(", User-Agent ") + shown(headers.userAgent) + QLatin1Char(')');
    if (host) {
        line += QStringLiteral("; if the robot is reached under this name, add ") +
                TextChecks::printable(hostOf(headers.host).c_str()) +
                QStringLiteral(" to [Access] hosts of /etc/corvanta/webgated.conf");
    }
    Log::singleton()->log(line, 1);
    return verdict;
}

AccessGuard::HostNames AccessGuard::machineAndConfiguredNames() {
    HostNames names;
    char buffer[256] = {};
    QString hostName;
    if (gethostname(buffer, sizeof(buffer) - 1) == 0) hostName = QString::fromLatin1(buffer).trimmed().toLower();
    const QString shortName = hostName.section(QLatin1Char('.'), 0, 0);
    if (!hostName.isEmpty()) {
        addName(names, hostName);
        addName(names, shortName);
        addName(names, shortName + QStringLiteral(".local"));
    }
    static const QRegularExpression blanks(QStringLiteral("[\\s,;]+"));
    // /etc/hosts: every name on a line that names this machine (its canonical name comes first).
    const QList<QByteArray> hostLines = readSmallFile(QStringLiteral("/etc/hosts")).split('\n');
    for (const QByteArray& rawLine : hostLines) {
        const QString line = QString::fromLatin1(rawLine.left(rawLine.indexOf('#') < 0 ? rawLine.size() : rawLine.indexOf('#')));
        QStringList fields = line.split(blanks, Qt::SkipEmptyParts);
        if (fields.size() < 2 || shortName.isEmpty()) continue;
        fields.removeFirst();  // the address
        bool mine = false;
        for (const QString& field : fields) {
            const QString name = field.toLower();
            if (name == hostName || name == shortName) mine = true;
        }
        if (mine) {
            for (const QString& field : fields) addName(names, field);
        }
    }
    // /etc/resolv.conf: the name in this machine's domain and in each search domain.
    const QList<QByteArray> resolvLines = readSmallFile(QStringLiteral("/etc/resolv.conf")).split('\n');
    for (const QByteArray& rawLine : resolvLines) {
        QStringList fields = QString::fromLatin1(rawLine).split(blanks, Qt::SkipEmptyParts);
        if (fields.size() < 2 || shortName.isEmpty()) continue;
        const QString keyword = fields.takeFirst();
        if (keyword != QLatin1String("search") && keyword != QLatin1String("domain")) continue;
        for (const QString& domain : fields) addName(names, shortName + QLatin1Char('.') + domain);
    }
    if (Client::exists()) {
        // A list in the INI file ("a, b") arrives as a list; a single name as text.
        const QStringList configured =
            Client::singleton()->getParameter(QStringLiteral("~/Access/hosts"), QString()).toStringList();
        for (const QString& entry : configured) {
            for (const QString& name : entry.split(blanks, Qt::SkipEmptyParts)) addName(names, name);
        }
    }
    return names;
}
