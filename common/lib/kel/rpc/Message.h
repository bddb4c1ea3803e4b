#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace kel {
namespace rpc {

/// One message of the wire protocol: a compact JSON object on one line.
struct Message {
    enum class Op { Enable, Set, Publish };

    Op op = Op::Publish;
    QString topic;
    bool on = false;   // Enable only
    QJsonArray args;   // Set and Publish only
    QJsonObject json;  // the whole object as received

    /// Parses one line; false for anything that is not a well-formed message of a known op.
    static bool parse(const QByteArray& line, Message* out);

    /// Encodes a message as one line, line feed included, fields in the order op, topic, payload.
    static QByteArray encodeEnable(const QString& topic, bool on);
    static QByteArray encodeSet(const QString& topic, const QJsonArray& args);
    static QByteArray encodePublish(const QString& topic, const QJsonArray& args);
};

}  // namespace rpc
}  // namespace kel
