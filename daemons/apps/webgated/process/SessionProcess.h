#pragma once

#include <QProcess>

/// A QProcess whose program leads a session of its own. Only that program's descendants can
/// be in the session, so its number names everything the program started, also what left its
/// process tree, until a process starts a session of its own.
class SessionProcess : public QProcess {
public:
    explicit SessionProcess(QObject* parent);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};
