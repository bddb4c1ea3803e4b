#pragma once

#include <QString>

#include "network/NetworkChange.h"

/// The file that keeps a pending network change across a restart of the daemon: its plan with
/// the files as they were, its phase and its deadline, as one JSON object. Private (0600): it
/// holds passphrases. Called on the worker and the main thread, never on both at once.
namespace NetworkChangeState {

/// A robot path (see FsRoot).
QString path();

/// "running", "waiting" (also while keeping), "rolling back", "rolled back", "kept"; empty for
/// no change.
const char* phaseText(NetworkChange::Phase phase);

/// What a state file holds.
struct Saved {
    QString id;
    NetworkChange::Plan plan;
    NetworkChange::Phase phase = NetworkChange::Phase::None;  // Running, Waiting or RollingBack
    qint64 deadlineMs = 0;                                    // since the epoch
};

/// Replaces the state file with `saved`. False with `why` when it cannot.
bool write(const Saved& saved, QString* why);

/// Removes the state file, the removal on the disk when this returns. False when the file is
/// still there, with `why` (logged at level 0 when `why` is null).
bool remove(QString* why = nullptr);

/// Reads the state file. False when there is none, or when it cannot be used: it is then moved
/// aside (".corrupt") and logged. Only what the configuration's command runs and changes is
/// taken: an edited file cannot make the daemon run another program or write another file.
bool read(Saved* saved);

}  // namespace NetworkChangeState
