#include "robot/DriveCommands.h"

#include <locale.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#include "request/AccessGuard.h"
#include "robot/ControlHandler.h"
#include "service/Client.h"

namespace DriveCommands {

namespace {

struct NumberParam {
    const char* key;
    float* value;
};

bool allPresent(const Request& request, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (!request.param(key)) return false;
    }
    return true;
}

// A JSON integer or real; one a float cannot hold is refused rather than turned into infinity.
bool readNumber(const Request& request, const char* key, float* out) {
    const json_t* value = request.param(key);
    if (!jsonIsNumber(value)) return false;
    const double number = json_number_value(value);
    if (!std::isfinite(number) || std::fabs(number) > FLT_MAX) return false;
    *out = static_cast<float>(number);
    return true;
}

// Every missing parameter is reported before any of the wrong type.
RequestResult readNumbers(const Request& request, std::initializer_list<NumberParam> params,
                          std::initializer_list<const char*> otherKeys) {
    for (const NumberParam& param : params) {
        if (!request.param(param.key)) return MissingParameters;
    }
    if (!allPresent(request, otherKeys)) return MissingParameters;
    for (const NumberParam& param : params) {
        if (!readNumber(request, param.key, param.value)) return InvalidParameters;
    }
    return Ack;
}

// The C library's own formatting: halfway cases round as printf does and -0.0 keeps its sign,
// which Qt's formatter does not do. Always with a decimal point, whatever the process locale
// (the application object sets it from the environment); the text is never cut short.
__attribute__((format(printf, 1, 2))) QString cFormat(const char* format, ...) {
    static const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    const locale_t previous = ::uselocale(cLocale);
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    QByteArray text(length > 0 ? length : 0, Qt::Uninitialized);
    if (length > 0) std::vsnprintf(text.data(), static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    ::uselocale(previous);
    return QString::fromLatin1(text);
}

// A drive command only reaches a robot that is heard: one sent into an outage or to a frozen robot
// would start it when it comes back, and the page must learn that it did not drive.
bool refusedWithoutLink(Request& request, const ControlHandler& control) {
    if (control.linkIsUp()) return false;
    request.setText("MSG", QStringLiteral("NO CONNECTION TO THE ROBOT"));
    return true;
}

QByteArray driverId(const Request& request) {
    return DriveLease::idOf(request.headers() ? request.headers()->driver : nullptr);
}

// The drive belongs to one driver at a time: another's command is refused and changes nothing.
bool refusedForAnother(Request& request, ControlHandler& control) {
    const RequestHeaders* headers = request.headers();
    DriveLease::Driver driver;
    driver.id = driverId(request);
    driver.address = DriveLease::addressOf(headers ? headers->remoteAddr : nullptr);
    driver.agent = DriveLease::agentOf(headers ? headers->userAgent : nullptr);
    const bool takeOver = json_is_true(request.param("takeOver"));
    if (control.claimDrive(driver, takeOver) != DriveLease::Claim::Refused) return false;
    request.setText("MSG", QStringLiteral("ANOTHER PAGE IS DRIVING"));
    return true;
}

json_t* real(float value) {
    return json_real(std::isfinite(value) ? static_cast<double>(value) : 0.0);
}

}  // namespace

RequestResult stop(Request&, ControlHandler& control) {
    control.stop();
    return Ack;
}

RequestResult velDrive(Request& request, ControlHandler& control) {
    float vx = 0;
    float vy = 0;
    float omega = 0;
    const RequestResult result =
        readNumbers(request, {{"vx", &vx}, {"vy", &vy}, {"omega", &omega}}, {});
    if (result != Ack) return result;
    if (refusedWithoutLink(request, control)) return Failed;
    if (refusedForAnother(request, control)) return Failed;
    control.addDeltaVel(vx, vy, omega);
    request.setText("MSG", cFormat("velDrive(%1.3f,%1.3f,%1.3f)", static_cast<double>(vx),
                                   static_cast<double>(vy), static_cast<double>(omega)));
    return Ack;
}

RequestResult positionDrive(Request& request, ControlHandler& control) {
    float x = 0;
    float y = 0;
    float phi = 0;
    float vel = 0;
    float rotvel = 0;
    const RequestResult result = readNumbers(
        request, {{"x", &x}, {"y", &y}, {"omega", &phi}, {"vel", &vel}, {"rotvel", &rotvel}},
        {"mode"});
    if (result != Ack) return result;
    const json_t* modeValue = request.param("mode");
    if (!json_is_integer(modeValue)) return InvalidParameters;
    const json_int_t mode = json_integer_value(modeValue);
    // A mode outside int would wrap into a valid movement kind: refused.
    if (mode < INT_MIN || mode > INT_MAX) return InvalidParameters;
    if (refusedWithoutLink(request, control)) return Failed;
    if (refusedForAnother(request, control)) return Failed;
    control.startPositionMode(x, y, phi, vel, rotvel, static_cast<int>(mode));
    request.setText(
        "MSG", cFormat("positionDrive(%1.3f,%1.3f,%1.3f,%1.3f,%1.3f,%d)", static_cast<double>(x),
                       static_cast<double>(y), static_cast<double>(phi), static_cast<double>(vel),
                       static_cast<double>(rotvel), static_cast<int>(mode)));
    return Ack;
}

RequestResult heartbeat(Request& request, ControlHandler& control) {
    if (!control.keepDrive(driverId(request))) {
        request.setText("MSG", QStringLiteral("ANOTHER PAGE IS DRIVING"));
        return Failed;
    }
    control.alive();
    return Ack;
}

RequestResult getDriveState(Request& request, const ControlHandler& control) {
    const ControlHandler::DriveState state = control.driveState();
    request.set("link", json_string(Client::linkName(static_cast<Client::Link>(state.link))));
    request.set("lastMessageMs", json_integer(state.lastMessageMs));
    request.set("mode", json_string(ControlHandler::modeName(state.mode)));
    request.set("vx", real(state.vx));
    request.set("vy", real(state.vy));
    request.set("omega", real(state.omega));
    request.set("watchdogMs", json_integer(state.watchdogMs));
    json_t* lastStop = json_object();
    json_object_set_new_nocheck(lastStop, "reason",
                                json_string(ControlHandler::stopReasonName(state.lastStop)));
    json_object_set_new_nocheck(lastStop, "ageMs", json_integer(state.lastStopAgeMs));
    request.set("lastStop", lastStop);
    if (state.mode == ControlHandler::Mode::Position) {
        json_t* target = json_object();
        json_object_set_new_nocheck(target, "distanceLeft", real(state.distanceLeft));
        json_object_set_new_nocheck(target, "angleLeft", real(state.angleLeft));
        request.set("target", target);
    }
    const DriveLease::Holder holder = control.driveHolder(driverId(request));
    json_t* driver = json_null();
    if (holder.held) {
        // Texts from headers: the reply's writer escapes them like every other string.
        driver = json_object();
        json_object_set_new_nocheck(driver, "address", jsonFromQString(holder.address));
        json_object_set_new_nocheck(driver, "agent", jsonFromQString(holder.agent));
        json_object_set_new_nocheck(driver, "sinceMs", json_integer(holder.sinceMs));
        json_object_set_new_nocheck(driver, "you", json_boolean(holder.you));
    }
    request.set("driver", driver);
    return Data;
}

}  // namespace DriveCommands
