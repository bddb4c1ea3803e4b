#include "ProcessSandbox.h"

#include <QDir>
#include <QFile>
#include <cstdlib>

#include "E2e.h"

namespace testsupport {

bool processRuns(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) != "Z";
}

QList<qint64> pidsIn(const QByteArray& text) {
    QList<qint64> pids;
    for (const QByteArray& line : text.split('\n')) {
        bool ok = false;
        const qint64 pid = line.trimmed().toLongLong(&ok);
        if (ok) pids.append(pid);
    }
    return pids;
}

ProcessSandbox::ProcessSandbox() {
    QDir(dir()).mkpath(QStringLiteral("bin"));
    // The stand-in logs each call when it starts and ends, and runs what it was given.
    const QByteArray calls = "\"" + path(QStringLiteral("sudo.calls")).toLocal8Bit() + "\"";
    writeScript(QStringLiteral("bin/sudo"), "echo \"$*\" >> " + calls +
                                                "\n\"$@\"\nrc=$?\necho \"done $*\" >> " + calls +
                                                "\nexit $rc\n");
    const QByteArray pathVariable = qgetenv("PATH");
    qputenv("PATH", path(QStringLiteral("bin")).toLocal8Bit() + ':' + pathVariable);
}

QString ProcessSandbox::writeScript(const QString& name, const QByteArray& body) const {
    const QString file = writeFile(name, "#!/bin/bash\n" + body);
    QFile::setPermissions(file,
                          QFile::permissions(file) | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return file;
}

QString ProcessSandbox::writeFile(const QString& name, const QByteArray& content) const {
    testsupport::writeFile(path(name), content);
    return path(name);
}

QByteArray ProcessSandbox::readFile(const QString& name) const { return testsupport::readFile(path(name)); }

QStringList ProcessSandbox::sudoCalls() const {
    return QString::fromLocal8Bit(readFile(QStringLiteral("sudo.calls")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void ProcessSandbox::clearSudoCalls() const { QFile::remove(path(QStringLiteral("sudo.calls"))); }

QByteArray ProcessSandbox::config(const QString& interpreter, const QString& sudo) {
    return "[Scripts]\nsudo=" + sudo.toLocal8Bit() +
           "\n[Flowdesk]\npath=" + interpreter.toLocal8Bit() + "\n";
}

QByteArray ProcessSandbox::threeLevelTree() {
    // A level waits in "wait" so that SIGTERM ends it at once; the root would otherwise go on.
    return "cd \"$(dirname \"$0\")\"\n"
           ": ${ONTERM='exit 0'}\n"
           "level() {\n"
           "  trap \"$ONTERM\" TERM\n"
           "  echo $BASHPID >> pids\n"
           "  if [ $1 -lt 2 ]; then level $(($1 + 1)) & fi\n"
           "  while :; do sleep 30 & wait $!; done\n"
           "}\n"
           "level 0\n";
}

}  // namespace testsupport
