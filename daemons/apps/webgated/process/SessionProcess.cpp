#include "process/SessionProcess.h"

#include <unistd.h>

SessionProcess::SessionProcess(QObject* parent) : QProcess(parent) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier([] { ::setsid(); });
#endif
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void SessionProcess::setupChildProcess() { ::setsid(); }
#endif
