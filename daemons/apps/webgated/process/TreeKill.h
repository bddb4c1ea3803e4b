#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

class QTimer;

/// One kill of a process tree, run step by step on the main thread without ever waiting there:
/// lists the children with "/bin/ps" and sends SIGTERM to each level with pkill, deepest first,
/// then SIGTERM to the root; whatever of the tree still runs after the grace period gets
/// SIGKILL. Each helper program has a time limit. Emits finished() once the tree is gone or
/// nothing more can be done.
class TreeKill : public QObject {
    Q_OBJECT
public:
    /// Kills the descendants of `root`, then `root` itself. Helper programs become children of
    /// `helperParent`, so that one still ending outlives this job without being waited for.
    TreeKill(QProcess* root, int graceMs, int helperTimeoutMs, QObject* helperParent,
             QObject* parent);
    /// Runs "sudo killall `program`" instead of walking a tree.
    TreeKill(const QString& program, int helperTimeoutMs, QObject* helperParent, QObject* parent);

    void start();
    bool isFinished() const { return m_finished; }

    /// Start time of a live process in clock ticks since boot, or -1 when it is gone or a zombie.
    static qint64 startTimeOf(qint64 pid);

Q_SIGNALS:
    void finished();

private:
    struct Level {
        qint64 pid;
        QList<qint64> children;
        int next = 0;
    };
    struct Member {
        qint64 pid;
        qint64 startTime;
    };

    using StepDone = std::function<void(bool ok, const QByteArray& output)>;
    void runStep(const QString& program, const QStringList& args, StepDone done);
    void listChildren(qint64 pid);
    void advance();
    void treeSignalled();
    void poll();
    void graceOver();
    void finish();
    QList<qint64> survivors() const;

    QPointer<QProcess> m_root;
    qint64 m_rootPid = 0;
    QString m_killallProgram;
    int m_graceMs = 0;
    int m_helperTimeoutMs;
    QObject* m_helperParent;
    QList<Level> m_stack;
    QList<Member> m_members;  // every process of the tree seen, the root first
    QTimer* m_poll = nullptr;
    QTimer* m_grace = nullptr;
    bool m_killSent = false;
    bool m_finished = false;
};
