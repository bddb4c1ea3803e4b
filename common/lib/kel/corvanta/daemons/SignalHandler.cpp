#include "kel/corvanta/daemons/SignalHandler.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kel {
namespace corvanta {
namespace daemons {

int SignalHandler::sighupFd[2] = {-1, -1};
int SignalHandler::sigtermFd[2] = {-1, -1};
int SignalHandler::sigintFd[2] = {-1, -1};

namespace {

void writeByte(int fd) {
    const char one = 1;
    // Nothing useful can be done about a failed write inside a signal handler.
    ssize_t written = ::write(fd, &one, sizeof(one));
    (void)written;
}

void install(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Without its handler the signal would end the daemon without a standstill: fatal in every
    // build type.
    if (::sigaction(signal, &action, nullptr) != 0) {
        qFatal("Couldn't install the handler of signal %d", signal);
    }
}

// Not inherited by started programs; a flood of signals can never block the handler's write.
bool makePair(int fds[2]) {
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0;
}

}  // namespace

SignalHandler::SignalHandler(QObject* parent) : QObject(parent) {
    if (!makePair(sighupFd)) qFatal("Couldn't create HUP socketpair");
    if (!makePair(sigtermFd)) qFatal("Couldn't create TERM socketpair");
    if (!makePair(sigintFd)) qFatal("Couldn't create INT socketpair");

    m_snHup = new QSocketNotifier(sighupFd[1], QSocketNotifier::Read, this);
    m_snTerm = new QSocketNotifier(sigtermFd[1], QSocketNotifier::Read, this);
    m_snInt = new QSocketNotifier(sigintFd[1], QSocketNotifier::Read, this);
    bool ok = connect(m_snHup, &QSocketNotifier::activated, this, &SignalHandler::handleSigHup);
    ok = connect(m_snTerm, &QSocketNotifier::activated, this, &SignalHandler::handleSigTerm) && ok;
    ok = connect(m_snInt, &QSocketNotifier::activated, this, &SignalHandler::handleSigInt) && ok;
    if (!ok) qFatal("SignalHandler: connecting the signal notifiers failed");

    install(SIGHUP, hupSignalHandler);
    install(SIGTERM, termSignalHandler);
    install(SIGINT, intSignalHandler);
}

SignalHandler::~SignalHandler() {
    // The handlers write into the pairs; restore the defaults before the pairs go away.
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    for (int* pair : {sighupFd, sigtermFd, sigintFd}) {
        for (int i = 0; i < 2; ++i) {
            if (pair[i] >= 0) ::close(pair[i]);
            pair[i] = -1;
        }
    }
}

void SignalHandler::setDefaultConnectionsEnabled(bool enable) {
    QCoreApplication* app = QCoreApplication::instance();
    if (enable) {
        bool ok = connect(this, &SignalHandler::sigHup, app, &QCoreApplication::quit);
        ok = connect(this, &SignalHandler::sigTerm, app, &QCoreApplication::quit) && ok;
        ok = connect(this, &SignalHandler::sigInt, app, &QCoreApplication::quit) && ok;
        if (!ok) qFatal("SignalHandler: connecting the signals to the application's quit failed");
    } else {
        disconnect(this, &SignalHandler::sigHup, app, nullptr);
        disconnect(this, &SignalHandler::sigTerm, app, nullptr);
        disconnect(this, &SignalHandler::sigInt, app, nullptr);
    }
}

void SignalHandler::hupSignalHandler(int) { writeByte(sighupFd[0]); }
void SignalHandler::termSignalHandler(int) { writeByte(sigtermFd[0]); }
void SignalHandler::intSignalHandler(int) { writeByte(sigintFd[0]); }

void SignalHandler::handleSigHup() {
    disconnect(m_snHup, &QSocketNotifier::activated, this, &SignalHandler::handleSigHup);
    // The byte stays unread; without this the notifier would fire on every loop pass.
    m_snHup->setEnabled(false);
    Q_EMIT log(QStringLiteral("SIGHUP received"), 0);
    Q_EMIT sigHup();
}

void SignalHandler::handleSigTerm() {
    disconnect(m_snTerm, &QSocketNotifier::activated, this, &SignalHandler::handleSigTerm);
    // The byte stays unread; without this the notifier would fire on every loop pass.
    m_snTerm->setEnabled(false);
    Q_EMIT log(QStringLiteral("SIGTERM received"), 0);
    Q_EMIT sigTerm();
}

void SignalHandler::handleSigInt() {
    disconnect(m_snInt, &QSocketNotifier::activated, this, &SignalHandler::handleSigInt);
    // The byte stays unread; without this the notifier would fire on every loop pass.
    m_snInt->setEnabled(false);
    Q_EMIT log(QStringLiteral("SIGINT received"), 0);
    Q_EMIT sigInt();
}

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
