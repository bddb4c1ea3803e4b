#pragma once

#include "kel/corvanta/rpc/Client.h"

/// The daemon's one connection to the robot's services, and its parameter store.
class Client : public kel::corvanta::rpc::Client {
    Q_OBJECT
public:
    static void init();
    static void done();
    static Client* singleton();
    static bool exists();

    /// The robot link: down (no connection), stale (connected, but nothing came for
    /// "~/Robot/staleMs", default 1000; 0 turns the rule off) or up. Any thread.
    enum class Link { Up, Stale, Down };
    Link link() const;
    static const char* linkName(Link link);

    /// Switches every topic the daemon listens to (set_log_level always on); not image0.
    void setTopicsEnabled(bool on);

private:
    Client();
    static Client* s_instance;
};
