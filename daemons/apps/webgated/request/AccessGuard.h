#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// What a command does to the robot, which decides who may run it. A command added to the
/// table is acting unless it only reads.
enum class CommandAccess {
    Acting,               // moves the robot, changes files or processes, or hands out secrets
    Reading,              // only reads
    ReadingUnlessOutput,  // reads, but acts when the query has the key "output"
    Open,                 // welcome from anywhere (stopping the robot)
};

/// The FastCGI parameters the access check reads; nullptr for a parameter that was not sent.
struct RequestHeaders {
    const char* query = nullptr;         // QUERY_STRING
    const char* method = nullptr;        // REQUEST_METHOD
    const char* userAgent = nullptr;     // HTTP_USER_AGENT
    const char* origin = nullptr;        // HTTP_ORIGIN
    const char* referer = nullptr;       // HTTP_REFERER
    const char* secFetchSite = nullptr;  // HTTP_SEC_FETCH_SITE
    bool anySecFetch = false;            // any HTTP_SEC_FETCH_* at all
    const char* host = nullptr;          // HTTP_HOST
    const char* pageMark = nullptr;      // HTTP_X_WEBGATED_PAGE, the robot page's own header
    const char* driver = nullptr;        // HTTP_X_WEBGATED_DRIVER, the id a page drives under
    const char* remoteAddr = nullptr;    // REMOTE_ADDR, the client's address

    /// The parameters of a request as a CGI environment has them ("NAME=value", null-terminated).
    /// A parameter given twice counts with its last value: a web server's own settings come
    /// after what it passes on by itself.
    static RequestHeaders fromEnvironment(const char* const* envp);
};

/// The outcome of the access check, taken before a command runs.
enum class AccessVerdict {
    Allowed,
    MethodNotAllowed,  // OPTIONS, or HEAD of an acting command: no command runs (no CORS
                       // preflight is ever granted)
    CrossSite,         // an acting command from a browser page that is not the robot's own
    HostNotAllowed,    // a host name the robot does not answer to (DNS rebinding)
};

/// Decides who may run a command: a page of another web site must not act on the robot through
/// the operator's browser, and a page reached under a foreign host name must not even read.
/// Used by the request thread only.
class AccessGuard {
public:
    /// The host names the robot answers to, beyond IP literals and "localhost": the machine's
    /// names and the configured ones, lower case without a trailing dot.
    using HostNames = std::vector<std::string>;

    /// `loadNames` gives the allowed names; it is called again when a host would be refused.
    explicit AccessGuard(std::function<HostNames()> loadNames = machineAndConfiguredNames);

    /// The verdict for a command of kind `access` with these parameters; logs the refusal (one
    /// level-1 line) and, once, that there is no host to check.
    AccessVerdict check(CommandAccess access, const RequestHeaders& headers, const char* command);

    /// The decision alone, for allowed names `names`.
    static AccessVerdict decide(CommandAccess access, const RequestHeaders& headers,
                                const HostNames& names);
    /// The same once the host is known to be allowed or not.
    static AccessVerdict decide(CommandAccess access, const RequestHeaders& headers, bool hostAllowed);

    /// True when the parameters are a browser's.
    static bool isBrowser(const RequestHeaders& headers);
    /// The host part of a Host value or a URL's authority: lower case, port and trailing dot
    /// dropped, an IPv6 literal kept in its brackets; `port` gets the port text ("" if none).
    static std::string hostOf(std::string_view authority, std::string* port = nullptr);
    /// True for an IPv4 literal, or an IPv6 literal in brackets.
    static bool isIpLiteral(const std::string& host);

    /// The machine's host name, its fully qualified name (from the name itself, /etc/hosts and
    /// the domain of /etc/resolv.conf), the name with each search domain and with ".local", and
    /// the names listed in the configuration's `[Access] hosts`.
    static HostNames machineAndConfiguredNames();

private:
    std::function<HostNames()> m_loadNames;
    HostNames m_names;
    std::string m_lastAllowedHost;  // the Host text last found allowed
    bool m_loaded = false;
    bool m_sawHost = false;
    bool m_toldNoHost = false;
};
