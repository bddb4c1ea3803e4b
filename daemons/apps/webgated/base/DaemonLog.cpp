#include "base/DaemonLog.h"

#include "kel/corvanta/daemons/Log.h"

void daemonLog(const QString& text, int level) {
    kel::corvanta::daemons::Log::singleton()->log(text, level);
}
