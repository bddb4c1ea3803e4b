#pragma once

#include <QObject>

class QSocketNotifier;

namespace kel {
namespace corvanta {
namespace daemons {

/// Turns SIGHUP, SIGTERM and SIGINT into Qt signals on the main thread (self-pipe): the POSIX
/// handler only writes one byte; each kind of signal is handled once.
class SignalHandler : public QObject {
    Q_OBJECT
public:
    explicit SignalHandler(QObject* parent = nullptr);
    ~SignalHandler() override;

    /// Connects sigHup, sigTerm and sigInt to the application's quit().
    void setDefaultConnectionsEnabled(bool enable);

Q_SIGNALS:
    void sigHup();
    void sigTerm();
    void sigInt();
    void log(const QString& text, int level);

private Q_SLOTS:
    void handleSigHup();
    void handleSigTerm();
    void handleSigInt();

private:
    static void hupSignalHandler(int);
    static void termSignalHandler(int);
    static void intSignalHandler(int);

    static int sighupFd[2];
    static int sigtermFd[2];
    static int sigintFd[2];

    QSocketNotifier* m_snHup;
    QSocketNotifier* m_snTerm;
    QSocketNotifier* m_snInt;
};

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
