#pragma once

#include <QMutex>
#include <QSet>
#include <QString>

/// The configuration files whose restart rule runs now. The worker thread marks a file when
/// it starts the rule's script; the main thread clears it when the script has ended.
class ComponentRestarts {
public:
    /// Marks `file` as restarting; false when its previous restart still runs.
    bool begin(const QString& file) {
        QMutexLocker lock(&m_mutex);
        if (m_running.contains(file)) return false;
        m_running.insert(file);
        return true;
    }
    void end(const QString& file) {
        QMutexLocker lock(&m_mutex);
        m_running.remove(file);
    }

private:
    QMutex m_mutex;
    QSet<QString> m_running;
};
