#include "ClientRecorder.h"

#include <functional>

#include "kel/corvanta/rpc/Client.h"

namespace testsupport {

namespace {

template <typename T>
QString text(T value) {
    return QString::number(value);
}
QString text(const QString& value) { return value; }
QString text(const QByteArray& value) { return QString::fromLatin1(value.toHex()); }
template <typename T>
QString text(const QVector<T>& values) {
    QStringList parts;
    for (const T& value : values) parts << text(value);
    return parts.join(',');
}

template <typename... A>
std::function<void(A...)> record(QStringList* lines, const char* name) {
    return [lines, name](A... args) {
        QStringList parts{QString::fromLatin1(name)};
        (parts << ... << text(args));
        lines->append(parts.join(' '));
    };
}

}  // namespace

ClientRecorder::ClientRecorder(kel::corvanta::rpc::Client* c) {
    using C = kel::corvanta::rpc::Client;
    const auto info = [this](const char* name) {
        return record<unsigned int, float, float, float, float, int, QString>(&lines, name);
    };
    QObject::connect(c, &C::is_connected, c, [this] { ++connects; });
    QObject::connect(c, &C::is_disconnected, c, [this] { ++disconnects; });
    QObject::connect(c, &C::odometry_changed, c,
                     record<double, double, double, float, float, float, unsigned int>(&lines, "odometry"));
    QObject::connect(c, &C::distance_sensors_changed, c, record<QVector<float>>(&lines, "distance_sensors"));
    QObject::connect(c, &C::bumper_changed, c, record<bool>(&lines, "bumper"));
    QObject::connect(c, &C::battery_changed, c,
                     record<float, float, bool, int, QString, bool, int>(&lines, "battery"));
    QObject::connect(c, &C::charger0_info_changed, c, info("charger0_info"));
    QObject::connect(c, &C::charger1_info_changed, c, info("charger1_info"));
    QObject::connect(c, &C::charger2_info_changed, c, info("charger2_info"));
    QObject::connect(c, &C::charger0_version_changed, c, record<int, int, int>(&lines, "charger0_version"));
    QObject::connect(c, &C::charger1_version_changed, c, record<int, int, int>(&lines, "charger1_version"));
    QObject::connect(c, &C::charger2_version_changed, c, record<int, int, int>(&lines, "charger2_version"));
    QObject::connect(c, &C::digital_input_changed, c, record<QVector<bool>>(&lines, "digital_input"));
    QObject::connect(c, &C::analog_input_changed, c, record<QVector<float>>(&lines, "analog_input"));
    QObject::connect(c, &C::set_digital_output_array_changed, c, record<QVector<bool>>(&lines, "set_digital_output_array"));
    QObject::connect(c, &C::set_relay_array_changed, c, record<QVector<bool>>(&lines, "set_relay_array"));
    QObject::connect(c, &C::image0_changed, c,
                     record<QByteArray, unsigned int, unsigned int, unsigned int, QString>(&lines, "image0"));
    QObject::connect(c, &C::logLevelChanged, c, record<int>(&lines, "set_log_level"));
}

}  // namespace testsupport
