#include "settings/ConfigLine.h"

#include <QChar>

namespace ConfigLine {

Kind classify(const QString& trimmed, QString* first, QString* second) {
    if (trimmed.isEmpty()) return Ignored;
    const QChar head = trimmed.at(0);
    if (head == QLatin1Char('#') || head == QLatin1Char(';')) return Ignored;
    const int size = trimmed.size();
    if (head == QLatin1Char('[') && trimmed.at(size - 1) == QLatin1Char(']') && size >= 2) {
        *first = trimmed.mid(1, size - 2);
        return Section;
    }
    for (int i = 0; i < size; ++i) {
        const QChar c = trimmed.at(i);
        if (c == QLatin1Char('=') || c.isSpace()) {
            *first = trimmed.left(i);
            *second = trimmed.mid(i + 1);
            return Entry;
        }
    }
    return NoSeparator;
}

namespace {

// One code point of UTF-8 at `pos`: its value and length, or -1 with length 1 for a byte that
// does not start a well-formed sequence (never whitespace or "=" then).
int decodeAt(const QByteArray& bytes, int pos, int* length) {
    const auto byte = [&](int i) { return static_cast<unsigned char>(bytes.at(i)); };
    const unsigned char lead = byte(pos);
    *length = 1;
    if (lead < 0x80) return lead;
    int count = 0;
    unsigned int value = 0;
    unsigned int minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        count = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    if (pos + count >= bytes.size()) return -1;
    for (int i = 1; i <= count; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) return -1;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
    *length = count + 1;
    return static_cast<int>(value);
}

bool isSpace(int codePoint) { return codePoint >= 0 && QChar::isSpace(static_cast<char32_t>(codePoint)); }

}  // namespace

int separatorEnd(const QByteArray& line, const QString& key) {
    int pos = 0;
    int length = 0;
    while (pos < line.size() && isSpace(decodeAt(line, pos, &length))) pos += length;
    const int keyBegin = pos;
    while (pos < line.size()) {
        const int codePoint = decodeAt(line, pos, &length);
        if (codePoint == '=' || isSpace(codePoint)) {
            if (QString::fromUtf8(line.constData() + keyBegin, pos - keyBegin) != key) return -1;
            return pos + length;
        }
        pos += length;
    }
    return -1;
}

}  // namespace ConfigLine
