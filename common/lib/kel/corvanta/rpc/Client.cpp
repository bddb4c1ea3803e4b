#include "Client.h"

#include <QHash>
#include <QJsonValue>
#include <QMetaType>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace kel {
namespace corvanta {
namespace rpc {

namespace {

// The shortest decimal that reads back as the same float, so 0.1f goes out as 0.1.
QJsonValue floatValue(float value) {
    // A non-finite velocity goes out as 0 so the robot stops instead of keeping its last set-point.
    if (!std::isfinite(value)) return 0.0;
    char text[64] = {};
    const auto result = std::to_chars(text, text + sizeof(text) - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

// The args of a vector command: one element, the vector itself.
QJsonArray boolVectorArgs(const QVector<bool>& values) {
    QJsonArray vector;
    for (bool value : values) vector.append(value);
    QJsonArray args;
    args.append(vector);  // braces would copy the vector instead of nesting it
    return args;
}

/// Typed access to a publication's arguments; every getter fails on a wrong type or range.
class Args {
public:
    explicit Args(const QJsonArray& args) : m_args(args) {}

    bool hasCount(int count) const { return m_args.size() == count; }

    bool getDouble(int i, double* out) const {
        if (!m_args.at(i).isDouble()) return false;
        *out = m_args.at(i).toDouble();
        return std::isfinite(*out);
    }
    bool getFloat(int i, float* out) const { return toFloat(m_args.at(i), out); }
    bool getInt(int i, int* out) const {
        double value = 0;
        if (!getInteger(i, INT_MIN, INT_MAX, &value)) return false;
        *out = static_cast<int>(value);
        return true;
    }
    bool getUInt(int i, unsigned int* out) const {
        double value = 0;
        if (!getInteger(i, 0, UINT_MAX, &value)) return false;
        *out = static_cast<unsigned int>(value);
        return true;
    }
    bool getBool(int i, bool* out) const {
        if (!m_args.at(i).isBool()) return false;
        *out = m_args.at(i).toBool();
        return true;
    }
    bool getString(int i, QString* out) const {
        if (!m_args.at(i).isString()) return false;
        *out = m_args.at(i).toString();
        return true;
    }
    bool getFloatVector(int i, QVector<float>* out) const {
        if (!m_args.at(i).isArray()) return false;
        const QJsonArray array = m_args.at(i).toArray();
        QVector<float> values(array.size());
        for (int k = 0; k < array.size(); ++k) {
            if (!toFloat(array.at(k), &values[k])) return false;
        }
        *out = values;
        return true;
    }
    bool getBoolVector(int i, QVector<bool>* out) const {
        if (!m_args.at(i).isArray()) return false;
        const QJsonArray array = m_args.at(i).toArray();
        QVector<bool> values(array.size());
        for (int k = 0; k < array.size(); ++k) {
            if (!array.at(k).isBool()) return false;
            values[k] = array.at(k).toBool();
        }
        *out = values;
        return true;
    }

private:
    static bool toFloat(const QJsonValue& value, float* out) {
        if (!value.isDouble()) return false;
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::fabs(number) > FLT_MAX) return false;
        *out = static_cast<float>(number);
        return true;
    }
    bool getInteger(int i, double min, double max, double* out) const {
        if (!m_args.at(i).isDouble()) return false;
        const double value = m_args.at(i).toDouble();
        if (!std::isfinite(value) || std::floor(value) != value || value < min || value > max) {
            return false;
        }
        *out = value;
        return true;
    }

    const QJsonArray& m_args;
};

using Handler = std::function<void(Client*, const Args&)>;

Handler chargerInfo(void (Client::*signal)(unsigned int, float, float, float, float, int,
                                           const QString&)) {
    return [signal](Client* client, const Args& a) {
        unsigned int time = 0;
        float voltage = 0, current = 0, temp1 = 0, temp2 = 0;
        int stateNumber = 0;
        QString state;
        if (a.hasCount(7) && a.getUInt(0, &time) && a.getFloat(1, &voltage) &&
            a.getFloat(2, &current) && a.getFloat(3, &temp1) && a.getFloat(4, &temp2) &&
            a.getInt(5, &stateNumber) && a.getString(6, &state)) {
            Q_EMIT(client->*signal)(time, voltage, current, temp1, temp2, stateNumber, state);
        }
    };
}

Handler chargerVersion(void (Client::*signal)(int, int, int)) {
    return [signal](Client* client, const Args& a) {
        int major = 0, minor = 0, patch = 0;
        if (a.hasCount(3) && a.getInt(0, &major) && a.getInt(1, &minor) && a.getInt(2, &patch)) {
            Q_EMIT(client->*signal)(major, minor, patch);
        }
    };
}

Handler boolVector(void (Client::*signal)(const QVector<bool>&)) {
    return [signal](Client* client, const Args& a) {
        QVector<bool> values;
        if (a.hasCount(1) && a.getBoolVector(0, &values)) Q_EMIT(client->*signal)(values);
    };
}

Handler floatVector(void (Client::*signal)(const QVector<float>&)) {
    return [signal](Client* client, const Args& a) {
        QVector<float> values;
        if (a.hasCount(1) && a.getFloatVector(0, &values)) Q_EMIT(client->*signal)(values);
    };
}

const QHash<QString, Handler>& handlers() {
    static const QHash<QString, Handler> table = {
        {QStringLiteral("odometry"),
         [](Client* client, const Args& a) {
             double x = 0, y = 0, phi = 0;
             float vx = 0, vy = 0, omega = 0;
             unsigned int sequence = 0;
             if (a.hasCount(7) && a.getDouble(0, &x) && a.getDouble(1, &y) &&
                 a.getDouble(2, &phi) && a.getFloat(3, &vx) && a.getFloat(4, &vy) &&
                 a.getFloat(5, &omega) && a.getUInt(6, &sequence)) {
                 Q_EMIT client->odometry_changed(x, y, phi, vx, vy, omega, sequence);
             }
         }},
        {QStringLiteral("distance_sensors"), floatVector(&Client::distance_sensors_changed)},
        {QStringLiteral("bumper"),
         [](Client* client, const Args& a) {
             bool contact = false;
             if (a.hasCount(1) && a.getBool(0, &contact)) Q_EMIT client->bumper_changed(contact);
         }},
        {QStringLiteral("battery"),
         [](Client* client, const Args& a) {
             float voltage = 0, current = 0;
             bool extPower = false, low = false;
             int chargers = 0, counter = 0;
             QString type;
             if (a.hasCount(7) && a.getFloat(0, &voltage) && a.getFloat(1, &current) &&
                 a.getBool(2, &extPower) && a.getInt(3, &chargers) && a.getString(4, &type) &&
                 a.getBool(5, &low) && a.getInt(6, &counter)) {
                 Q_EMIT client->battery_changed(voltage, current, extPower, chargers, type, low,
                                                counter);
             }
         }},
        {QStringLiteral("charger0_info"), chargerInfo(&Client::charger0_info_changed)},
        {QStringLiteral("charger1_info"), chargerInfo(&Client::charger1_info_changed)},
        {QStringLiteral("charger2_info"), chargerInfo(&Client::charger2_info_changed)},
        {QStringLiteral("charger0_version"), chargerVersion(&Client::charger0_version_changed)},
        {QStringLiteral("charger1_version"), chargerVersion(&Client::charger1_version_changed)},
        {QStringLiteral("charger2_version"), chargerVersion(&Client::charger2_version_changed)},
        {QStringLiteral("digital_input"), boolVector(&Client::digital_input_changed)},
        {QStringLiteral("analog_input"), floatVector(&Client::analog_input_changed)},
        {QStringLiteral("set_digital_output_array"),
         boolVector(&Client::set_digital_output_array_changed)},
        {QStringLiteral("set_relay_array"), boolVector(&Client::set_relay_array_changed)},
        {QStringLiteral("image0"),
         [](Client* client, const Args& a) {
             QString text, format;
             unsigned int width = 0, height = 0, step = 0;
             if (!a.hasCount(5) || !a.getString(0, &text) || !a.getUInt(1, &width) ||
                 !a.getUInt(2, &height) || !a.getUInt(3, &step) || !a.getString(4, &format)) {
                 return;
             }
             const auto decoded = QByteArray::fromBase64Encoding(
                 text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
             if (!decoded) return;
             Q_EMIT client->image0_changed(*decoded, width, height, step, format);
         }},
        {QStringLiteral("set_log_level"),
         [](Client* client, const Args& a) {
             int level = 0;
             if (a.hasCount(1) && a.getInt(0, &level)) Q_EMIT client->logLevelChanged(level);
         }},
    };
    return table;
}

}  // namespace

Client::Client(QObject* parent) : kel::rpc::Client(parent) {
    static const bool registered = [] {
        qRegisterMetaType<QVector<float>>("QVector<float>");
        qRegisterMetaType<QVector<bool>>("QVector<bool>");
        return true;
    }();
    Q_UNUSED(registered);
}

void Client::set_omnidrive(float vx, float vy, float omega) {
    sendCommand(QStringLiteral("omnidrive"),
                QJsonArray{floatValue(vx), floatValue(vy), floatValue(omega)});
}

void Client::set_set_camera0_settings(unsigned int width, unsigned int height,
                                      const QString& format) {
    sendCommand(QStringLiteral("set_camera0_settings"),
                QJsonArray{static_cast<qint64>(width), static_cast<qint64>(height), format});
}

void Client::set_set_digital_output_array(const QVector<bool>& values) {
    sendCommand(QStringLiteral("set_digital_output_array"), boolVectorArgs(values));
}

void Client::set_set_relay_array(const QVector<bool>& values) {
    sendCommand(QStringLiteral("set_relay_array"), boolVectorArgs(values));
}

void Client::handlePublish(const QString& topic, const QJsonArray& args) {
    const auto it = handlers().constFind(topic);
    if (it != handlers().constEnd()) it.value()(this, Args(args));
}

}  // namespace rpc
}  // namespace corvanta
}  // namespace kel
