#include "transport/FcgiRecords.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "transport/Response.h"

namespace fcgi {

namespace {

// A length of a name-value pair: one byte below 128, else four with the top bit set.
bool readLength(const unsigned char*& p, const unsigned char* end, size_t& length) {
    if (p == end) return false;
    if (*p < 0x80) {
        length = *p++;
        return true;
    }
    if (end - p < 4) return false;
    length = (size_t(p[0] & 0x7f) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
    p += 4;
    return true;
}

void putLength(std::string& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<char>(length));
        return;
    }
    out.push_back(static_cast<char>(((length >> 24) & 0x7f) | 0x80));
    out.push_back(static_cast<char>(length >> 16));
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(length));
}

const unsigned char kPadding[8] = {};

}  // namespace

bool readHeader(const unsigned char* bytes, Header& header) {
    if (bytes[0] != 1) return false;
    header.type = bytes[1];
    header.requestId = (bytes[2] << 8) | bytes[3];
    header.contentLength = (size_t(bytes[4]) << 8) | bytes[5];
    header.paddingLength = bytes[6];
    return true;
}

HeaderBytes header(unsigned char type, int requestId, size_t contentLength, size_t paddingLength) {
    return {1,
            type,
            static_cast<unsigned char>(requestId >> 8),
            static_cast<unsigned char>(requestId),
            static_cast<unsigned char>(contentLength >> 8),
            static_cast<unsigned char>(contentLength),
            static_cast<unsigned char>(paddingLength),
            0};
}

std::string record(unsigned char type, int requestId, const std::string& content) {
    // A record's length has 16 bits: a longer content is never cut, it goes on in the next one.
    std::string out;
    size_t offset = 0;
    do {
        const size_t length = std::min(content.size() - offset, kRecordContent);
        const size_t padding = (8 - length % 8) % 8;
        const HeaderBytes head = header(type, requestId, length, padding);
        out.append(reinterpret_cast<const char*>(head.data()), head.size());
        out.append(content, offset, length);
        out.append(padding, '\0');
        offset += length;
    } while (offset < content.size());
    return out;
}

std::string endRequest(int requestId, ProtocolStatus status) {
    // Application status 0, the protocol status, three reserved bytes.
    return record(kEndRequest, requestId, std::string("\0\0\0\0", 4) + char(status) + std::string(3, '\0'));
}

std::string nameValue(const std::string& name, const std::string& value) {
    std::string out;
    putLength(out, name.size());
    putLength(out, value.size());
    return out + name + value;
}

void Params::clear() {
    // After a large request its buffers are let go: a kept connection holds little.
    const auto clearShrinking = [](auto& buffer) {
        if (buffer.capacity() * sizeof(buffer[0]) > kKeptBufferBytes) {
            std::decay_t<decltype(buffer)>().swap(buffer);
        }
        buffer.clear();
    };
    clearShrinking(m_raw);
    clearShrinking(m_text);
    clearShrinking(m_entries);
}

size_t Params::capacity() const {
    return m_raw.capacity() + m_text.capacity() + m_entries.capacity() * sizeof(m_entries[0]);
}

bool Params::decode() {
    m_text.clear();
    m_entries.clear();
    // Each pair's text ("NAME=value" and a zero byte) is no longer than the pair itself (its
    // lengths take two bytes at least): the text never moves, and pointers into it stay valid.
    m_text.reserve(m_raw.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_raw.data());
    const unsigned char* end = p + m_raw.size();
    while (p != end) {
        size_t nameLength = 0;
        size_t valueLength = 0;
        if (!readLength(p, end, nameLength) || !readLength(p, end, valueLength)) return false;
        if (nameLength > size_t(end - p) || valueLength > size_t(end - p) - nameLength) return false;
        const char* name = reinterpret_cast<const char*>(p);
        p += nameLength + valueLength;
        if (nameLength == 0 || std::memchr(name, '=', nameLength) || std::memchr(name, '\0', nameLength)) continue;
        m_entries.push_back(m_text.data() + m_text.size());
        m_text.append(name, nameLength);
        m_text.push_back('=');
        m_text.append(name + nameLength, valueLength);
        m_text.push_back('\0');
    }
    m_entries.push_back(nullptr);
    return true;
}

const char* Params::value(const char* name) const {
    const size_t length = std::strlen(name);
    for (const char* entry : m_entries) {
        if (entry && std::strncmp(entry, name, length) == 0 && entry[length] == '=') return entry + length + 1;
    }
    return nullptr;
}

void addReply(int requestId, const std::string& head, const char* body, size_t bodySize,
              std::vector<iovec>& pieces, std::vector<HeaderBytes>& headers, ReplyPart replyPart) {
    struct Part {
        const char* data;
        size_t size;
    };
    // Every reply carries the guard lines; a request that failed gets no reply at all.
    const bool empty = head.empty() && bodySize == 0;
    const bool guarded = replyPart == ReplyPart::First || (replyPart == ReplyPart::Whole && !empty);
    const Part parts[3] = {{Response::kGuardHeaders, guarded ? Response::kGuardHeadersLength : 0},
                           {head.data(), head.size()},
                           {body, bodySize}};
    const size_t total = parts[0].size + head.size() + bodySize;
    // Every header is in place before the first piece points to one.
    headers.resize((total + kRecordContent - 1) / kRecordContent + 2);
    size_t next = 0;
    auto add = [&pieces](const void* data, size_t size) {
        if (size > 0) pieces.push_back({const_cast<void*>(data), size});
    };
    size_t left = total;
    size_t part = 0;
    size_t offset = 0;
    while (left > 0) {
        const size_t length = std::min(left, kRecordContent);
        const size_t padding = (8 - length % 8) % 8;
        headers[next] = header(kStdout, requestId, length, padding);
        add(headers[next++].data(), kHeaderLength);
        for (size_t need = length; need > 0;) {
            while (offset == parts[part].size) {
                ++part;
                offset = 0;
            }
            const size_t chunk = std::min(need, parts[part].size - offset);
            add(parts[part].data + offset, chunk);
            offset += chunk;
            need -= chunk;
        }
        add(kPadding, padding);
        left -= length;
    }
    if (replyPart == ReplyPart::First || replyPart == ReplyPart::More) return;
    headers[next] = header(kStdout, requestId, 0);
    add(headers[next++].data(), kHeaderLength);
    headers[next] = header(kEndRequest, requestId, 8);
    add(headers[next++].data(), kHeaderLength);
    static const unsigned char kComplete[8] = {0, 0, 0, 0, kRequestComplete, 0, 0, 0};
    add(kComplete, sizeof(kComplete));
}

}  // namespace fcgi
