#include "ParameterStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace kel {
namespace rpc {

namespace {

// The text after "=" of every plain "key=value" line, keyed like QSettings keys ("Group/key").
QHash<QString, QString> rawValues(const QString& fileName) {
    QHash<QString, QString> values;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) return values;
    QString group;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& bytes : lines) {
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2).trimmed();
            if (group.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) group.clear();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) continue;
        const QString key = line.left(equals).trimmed();
        values.insert(group.isEmpty() ? key : group + QLatin1Char('/') + key,
                      line.mid(equals + 1).trimmed());
    }
    return values;
}

bool hasUnquotedSemicolon(const QString& text) {
    bool quoted = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) quoted = !quoted;
        if (c == QLatin1Char(';') && !quoted) return true;
    }
    return false;
}

}  // namespace

void ParameterStore::read(const QString& systemFile, const QString& userFile) {
    QHash<QString, QVariant> values;
    readFile(systemFile, &values);
    readFile(userFile, &values);
    std::lock_guard<std::mutex> locker(m_mutex);
    m_values = values;
}

void ParameterStore::readFile(const QString& fileName, QHash<QString, QVariant>* values) {
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile()) return;
    QSettings settings(fileName, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#endif
    const QHash<QString, QString> raw = rawValues(fileName);
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        QVariant value = settings.value(key);
        const auto rawIt = raw.constFind(key);
        // A value is one text: commas do not split it and a semicolon (as in directory lists)
        // does not end it, so such values are taken as written.
        const bool isList = value.userType() == QMetaType::QStringList;
        if (rawIt != raw.constEnd() && (isList || hasUnquotedSemicolon(rawIt.value()))) {
            value = rawIt.value();
        } else if (isList) {
            value = value.toStringList().join(QStringLiteral(", "));
        }
        values->insert(key, value);
    }
}

QVariant ParameterStore::value(const QString& key, const QVariant& defaultValue) const {
    QString name = key;
    if (name.startsWith(QLatin1String("~/"))) name.remove(0, 2);
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_values.value(name, defaultValue);
}

}  // namespace rpc
}  // namespace kel
