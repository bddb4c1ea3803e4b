#include "Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace testsupport {

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

bool threadBlockedInRead(qint64 pid, const QByteArray& threadName) {
    const QString tasks = QStringLiteral("/proc/%1/task")
                              .arg(pid == 0 ? QStringLiteral("self") : QString::number(pid));
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks + "/" + tid + "/comm");
        QFile syscall(tasks + "/" + tid + "/syscall");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != threadName) continue;
        // The first field is the number of the system call the thread is blocked in; read is 0.
        if (syscall.open(QIODevice::ReadOnly) && syscall.readAll().startsWith("0 ")) return true;
    }
    return false;
}

}  // namespace testsupport
