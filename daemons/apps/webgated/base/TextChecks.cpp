#include "base/TextChecks.h"

#include <cstring>

namespace TextChecks {

namespace {

constexpr int kLongest = 200;  // a long value cannot flood the log

bool isControl(ushort code) { return code < 0x20 || code == 0x7f; }

}  // namespace

bool hasControlCharacter(const QString& text, bool tabAllowed) {
    for (const QChar c : text) {
        if (isControl(c.unicode()) && !(tabAllowed && c == QLatin1Char('\t'))) return true;
    }
    return false;
}

QString printable(QString text) {
    for (QChar& c : text) {
        if (isControl(c.unicode())) c = QLatin1Char('?');
    }
    return text;
}

QString printable(const char* text) {
    if (!text) return QString();
    return printable(QString::fromLatin1(text, static_cast<int>(strnlen(text, kLongest))));
}

}  // namespace TextChecks
