#include "frame/Json.h"

#include <cstdlib>

QString jsonToQString(const json_t* value) {
    if (!value || !json_is_string(value)) return QString();
    return QString::fromUtf8(json_string_value(value), static_cast<int>(json_string_length(value)));
}

json_t* jsonFromQString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    json_t* value = json_stringn(utf8.constData(), static_cast<size_t>(utf8.size()));
    return value ? value : json_string("");
}

QByteArray jsonDump(const json_t* value, size_t flags) {
    char* text = json_dumps(value, flags);
    if (!text) return QByteArray();
    QByteArray result(text);
    std::free(text);
    return result;
}
