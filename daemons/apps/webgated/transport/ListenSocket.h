#pragma once

/// The listening socket the daemon serves: descriptor 3 when systemd handed one over for this
/// process (LISTEN_PID is our pid, LISTEN_FDS at least 1, and 3 is a socket), otherwise 0,
/// standard input. Clears the LISTEN_* variables, so programs the daemon starts do not take them
/// as theirs. Call before any thread starts.
int takeListenSocket();
