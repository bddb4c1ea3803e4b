#include "Message.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace kel {
namespace rpc {

namespace {

QByteArray jsonString(const QString& text) {
    QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray encode(const char* op, const QString& topic, const QByteArray& payload) {
    QByteArray line;
    line.reserve(payload.size() + topic.size() + 40);
    line += "{\"op\":\"";
    line += op;
    line += "\",\"topic\":";
    line += jsonString(topic);
    line += payload;
    line += "}\n";
    return line;
}

QByteArray argsPayload(const QJsonArray& args) {
    return ",\"args\":" + QJsonDocument(args).toJson(QJsonDocument::Compact);
}

}  // namespace

bool Message::parse(const QByteArray& line, Message* out) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return false;
    const QJsonObject object = doc.object();
    const QJsonValue op = object.value(QStringLiteral("op"));
    const QJsonValue topic = object.value(QStringLiteral("topic"));
    if (!op.isString() || !topic.isString() || topic.toString().isEmpty()) return false;

    Message message;
    const QString opName = op.toString();
    if (opName == QLatin1String("enable")) {
        const QJsonValue on = object.value(QStringLiteral("on"));
        if (!on.isBool()) return false;
        message.op = Op::Enable;
        message.on = on.toBool();
    } else if (opName == QLatin1String("set") || opName == QLatin1String("publish")) {
        const QJsonValue args = object.value(QStringLiteral("args"));
        if (!args.isArray()) return false;
        message.op = opName == QLatin1String("set") ? Op::Set : Op::Publish;
        message.args = args.toArray();
    } else {
        return false;
    }
    message.topic = topic.toString();
    message.json = object;
    *out = message;
    return true;
}

QByteArray Message::encodeEnable(const QString& topic, bool on) {
    return encode("enable", topic, on ? ",\"on\":true" : ",\"on\":false");
}

QByteArray Message::encodeSet(const QString& topic, const QJsonArray& args) {
    return encode("set", topic, argsPayload(args));
}

QByteArray Message::encodePublish(const QString& topic, const QJsonArray& args) {
    return encode("publish", topic, argsPayload(args));
}

}  // namespace rpc
}  // namespace kel
