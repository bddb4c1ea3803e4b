#include "service/Client.h"

Client* Client::s_instance = nullptr;

Client::Client() : kel::corvanta::rpc::Client(nullptr) {
    setAutoReconnectEnabled(true, 1000);
    setLocalIPCEnabled(false);
}

void Client::init() {
    Q_ASSERT(s_instance == nullptr);
    s_instance = new Client();
}

void Client::done() {
    delete s_instance;
    s_instance = nullptr;
}

Client* Client::singleton() {
    Q_ASSERT(s_instance != nullptr);
    return s_instance;
}

bool Client::exists() { return s_instance != nullptr; }

void Client::setTopicsEnabled(bool on) {
    set_kel_corvanta_rpc_log_enabled(on);
    set_kel_corvanta_rpc_set_log_level_enabled(true);
    set_kel_corvanta_rpc_omnidrive_enabled(on);
    set_kel_corvanta_rpc_odometry_enabled(on);
    set_kel_corvanta_rpc_distance_sensors_enabled(on);
    set_kel_corvanta_rpc_bumper_enabled(on);
    set_kel_corvanta_rpc_battery_enabled(on);
    set_kel_corvanta_rpc_map_enabled(on);
    set_kel_corvanta_rpc_poseOnMap_enabled(on);
    set_kel_corvanta_rpc_initialPose_enabled(on);
    set_kel_corvanta_rpc_navGoal_enabled(on);
    set_kel_corvanta_rpc_charger0_info_enabled(on);
    set_kel_corvanta_rpc_charger1_info_enabled(on);
    set_kel_corvanta_rpc_charger2_info_enabled(on);
    set_kel_corvanta_rpc_charger0_version_enabled(on);
    set_kel_corvanta_rpc_charger1_version_enabled(on);
    set_kel_corvanta_rpc_charger2_version_enabled(on);
    set_kel_corvanta_rpc_scan0_enabled(on);
    set_kel_corvanta_rpc_fleetcom_response_enabled(on);
    set_kel_corvanta_rpc_mclayout_enabled(on);
    set_kel_corvanta_rpc_mcstatus_enabled(on);
    set_kel_corvanta_rpc_digital_input_enabled(on);
    set_kel_corvanta_rpc_analog_input_enabled(on);
    set_kel_corvanta_rpc_set_digital_output_enabled(on);
    set_kel_corvanta_rpc_set_digital_output_array_enabled(on);
    set_kel_corvanta_rpc_set_relay_enabled(on);
    set_kel_corvanta_rpc_set_relay_array_enabled(on);
}

Client::Link Client::link() const {
    if (!isConnected()) return Link::Down;
    bool ok = false;
    qint64 limit = getParameter(QStringLiteral("~/Robot/staleMs"), 1000).toLongLong(&ok);
    // A value that is no number (or negative) keeps the rule on rather than turning it off.
    if (!ok || limit < 0) limit = 1000;
    // A robot that stopped talking (frozen, or its computer starved) may not hear us either.
    if (limit > 0 && silenceMs() > limit) return Link::Stale;
    return Link::Up;
}

const char* Client::linkName(Link link) {
    switch (link) {
        case Link::Up: return "up";
        case Link::Stale: return "stale";
        case Link::Down: break;
    }
    return "down";
}
