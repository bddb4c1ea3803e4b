#include "base/Json.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

// Bytes written as they are; every other one is escaped. "<", ">" and "&" as well: a browser
// that takes a reply for markup finds no tag or entity in it, and every JSON parser reads the same.
constexpr std::array<bool, 256> kPlainBytes = [] {
    std::array<bool, 256> plain = {};
    for (int c = 0x20; c < 256; ++c) {
        plain[c] = c != '"' && c != '\\' && c != '/' && c != '<' && c != '>' && c != '&';
    }
    return plain;
}();

void appendString(std::string& out, const char* text, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    out.push_back('"');
    const char* run = text;
    const char* end = text + length;
    for (const char* p = text; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (kPlainBytes[c]) continue;
        out.append(run, static_cast<size_t>(p - run));
        run = p + 1;
        switch (c) {
            case '"':
                out.append("\\\"", 2);
                break;
            case '\\':
                out.append("\\\\", 2);
                break;
            case '/':
                out.append("\\/", 2);
                break;
            case '\b':
                out.append("\\b", 2);
                break;
            case '\f':
                out.append("\\f", 2);
                break;
            case '\n':
                out.append("\\n", 2);
                break;
            case '\r':
                out.append("\\r", 2);
                break;
            case '\t':
                out.append("\\t", 2);
                break;
            case '<':
                out.append("\\u003c", 6);
                break;
            case '>':
                out.append("\\u003e", 6);
                break;
            case '&':
                out.append("\\u0026", 6);
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
                out.append(escape, 6);
            }
        }
    }
    out.append(run, static_cast<size_t>(end - run));
    out.push_back('"');
}

// Seventeen significant digits, like "%.17g", then marked as a real and with the exponent
// written without "+" and leading zeros.
size_t formatReal(double value, char (&buffer)[64]) {
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 17);
    size_t length = static_cast<size_t>(result.ptr - buffer);
    char* exponent = static_cast<char*>(std::memchr(buffer, 'e', length));
    if (!exponent) {
        if (!std::memchr(buffer, '.', length)) {
            buffer[length++] = '.';
            buffer[length++] = '0';
        }
    } else {
        char* digits = exponent + 1;
        if (*digits == '-') ++digits;
        char* first = digits;
        while (first < buffer + length && (*first == '+' || *first == '0')) ++first;
        std::memmove(digits, first, static_cast<size_t>(buffer + length - first));
        length -= static_cast<size_t>(first - digits);
    }
    return length;
}

// The texts of the reals written last, by their bits: a reading polled by every open page changes
// far less often than it is asked for, and seventeen digits cost more than the rest of its reply.
struct RealText {
    std::uint64_t bits;
    std::uint8_t length;  // 0: empty slot
    char text[31];
};
constexpr int kRealCacheBits = 6;

void appendReal(std::string& out, double value) {
    thread_local RealText cache[1 << kRealCacheBits] = {};
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    RealText& slot = cache[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kRealCacheBits)];
    if (slot.length == 0 || slot.bits != bits) {
        char buffer[64];
        const size_t length = formatReal(value, buffer);
        if (length > sizeof(slot.text)) {
            out.append(buffer, length);
            return;
        }
        std::memcpy(slot.text, buffer, length);
        slot.bits = bits;
        slot.length = static_cast<std::uint8_t>(length);
    }
    out.append(slot.text, slot.length);
}

void appendValue(std::string& out, const json_t* value, const JsonRendered& rendered) {
    if (value == rendered.value) {
        out.append(*rendered.text);
        return;
    }
    switch (json_typeof(value)) {
        case JSON_OBJECT: {
            out.push_back('{');
            bool first = true;
            const char* key;
            json_t* member;
            json_object_foreach(const_cast<json_t*>(value), key, member) {
                if (!first) out.push_back(',');
                first = false;
                appendString(out, key, std::strlen(key));
                out.push_back(':');
                appendValue(out, member, rendered);
            }
            out.push_back('}');
            break;
        }
        case JSON_ARRAY: {
            out.push_back('[');
            const size_t size = json_array_size(value);
            for (size_t i = 0; i < size; ++i) {
                if (i) out.push_back(',');
                appendValue(out, json_array_get(value, i), rendered);
            }
            out.push_back(']');
            break;
        }
        case JSON_STRING:
            appendString(out, json_string_value(value), json_string_length(value));
            break;
        case JSON_INTEGER: {
            char buffer[24];
            const auto result = std::to_chars(buffer, buffer + sizeof(buffer),
                                              static_cast<long long>(json_integer_value(value)));
            out.append(buffer, static_cast<size_t>(result.ptr - buffer));
            break;
        }
        case JSON_REAL:
            appendReal(out, json_real_value(value));
            break;
        case JSON_TRUE:
            out.append("true", 4);
            break;
        case JSON_FALSE:
            out.append("false", 5);
            break;
        case JSON_NULL:
            out.append("null", 4);
            break;
    }
}

}  // namespace

QByteArray jsonDumpCompact(const json_t* value) {
    std::string out;
    out.reserve(1024);
    jsonAppendCompact(out, value);
    return QByteArray(out.data(), static_cast<int>(out.size()));
}

void jsonAppendCompact(std::string& out, const json_t* value, const JsonRendered& rendered) {
    if (value) appendValue(out, value, rendered.text ? rendered : JsonRendered());
}
