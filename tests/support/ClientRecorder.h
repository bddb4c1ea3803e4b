#pragma once

#include <QStringList>

namespace kel::corvanta::rpc {
class Client;
}

namespace testsupport {

/// Records what a robot client reports: every topic signal as a text ("bumper 1",
/// "odometry 1.25 -2.5 ...", vectors comma-separated, image bytes in hex), the connects and disconnects.
class ClientRecorder {
public:
    explicit ClientRecorder(kel::corvanta::rpc::Client* client);

    QStringList lines;
    int connects = 0;
    int disconnects = 0;
};

}  // namespace testsupport
