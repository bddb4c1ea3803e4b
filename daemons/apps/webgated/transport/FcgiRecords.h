#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

/// The FastCGI wire format: record headers, the name-value pairs of a request's parameters, and
/// the records of a reply.
namespace fcgi {

enum RecordType : unsigned char {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};
enum ProtocolStatus : unsigned char { kRequestComplete = 0, kCantMultiplex = 1, kUnknownRole = 3 };
constexpr int kResponder = 1;
constexpr unsigned char kKeepConnection = 1;
constexpr size_t kHeaderLength = 8;
/// The largest record content that needs no padding (a multiple of 8, as libfcgi writes them).
constexpr size_t kRecordContent = 65528;
/// A connection's buffer that grew beyond this for one request is let go after it.
constexpr size_t kKeptBufferBytes = 64 * 1024;

struct Header {
    unsigned char type = 0;
    int requestId = 0;
    size_t contentLength = 0;
    size_t paddingLength = 0;
    size_t recordLength() const { return kHeaderLength + contentLength + paddingLength; }
};
using HeaderBytes = std::array<unsigned char, kHeaderLength>;

/// Reads the header at `bytes` (kHeaderLength of them); false when it is not FastCGI version 1.
bool readHeader(const unsigned char* bytes, Header& header);
HeaderBytes header(unsigned char type, int requestId, size_t contentLength, size_t paddingLength = 0);
/// A whole record: header, content and the padding to a multiple of 8; content longer than one
/// record holds goes on in further records of the same type.
std::string record(unsigned char type, int requestId, const std::string& content);
/// An END_REQUEST record.
std::string endRequest(int requestId, ProtocolStatus status);
/// One name-value pair as the parameter and management records encode it.
std::string nameValue(const std::string& name, const std::string& value);

/// The name-value pairs of one request's parameters, gathered from its PARAMS records, read as
/// "NAME=value" texts the way a CGI environment has them.
class Params {
public:
    /// Forgets the pairs; buffers grown beyond kKeptBufferBytes are let go.
    void clear();
    /// Bytes its buffers hold, used or not.
    size_t capacity() const;
    void append(const char* data, size_t size) { m_raw.append(data, size); }
    size_t size() const { return m_raw.size(); }
    /// Decodes the gathered bytes; false when a pair runs past their end. Pairs with an empty name
    /// or a name holding "=" or a zero byte are left out.
    bool decode();
    /// After decode(): the "NAME=value" texts, null-terminated.
    const char* const* environment() const { return m_entries.data(); }
    /// After decode(): the value of the first pair named `name`, or nullptr.
    const char* value(const char* name) const;

private:
    std::string m_raw;
    std::string m_text;
    std::vector<const char*> m_entries;
};

/// Which part of a reply addReply() writes: all of it, or, for a reply that stays open, its first
/// part (with the guard lines), a further one, or the last (with the end).
enum class ReplyPart { Whole, First, More, Last };

/// Adds to `pieces` the records of a reply to request `requestId`: Response::kGuardHeaders, `head`
/// and then `body` as STDOUT records (none when `head` and `body` are empty: a request that
/// failed gets no reply), the end of that stream and END_REQUEST. `headers` holds the record
/// headers the pieces point to; it must not change until the pieces are written.
void addReply(int requestId, const std::string& head, const char* body, size_t bodySize,
              std::vector<iovec>& pieces, std::vector<HeaderBytes>& headers,
              ReplyPart part = ReplyPart::Whole);

}  // namespace fcgi
