// The limit the daemon is measured against: a FastCGI responder with no library at all. It takes
// the connections of the socket it gets as standard input one after the other, reads each
// request's records to the end of its body and answers the bytes of one file (header lines and
// body) with one writev; a connection the web server keeps serves its next request.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string header(int type, size_t length, size_t padding) {
    const char h[8] = {1, char(type), 0, 0, char(length >> 8), char(length), char(padding), 0};
    return std::string(h, 8);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_responder RESPONSE_FILE\n");
        return 2;
    }
    std::string body;
    FILE* file = std::fopen(argv[1], "rb");
    if (!file) return std::perror(argv[1]), 1;
    for (char chunk[65536]; size_t n = std::fread(chunk, 1, sizeof(chunk), file);) body.append(chunk, n);
    std::fclose(file);
    // The reply's records, made once; only the request id changes.
    std::string reply;
    for (size_t at = 0; at < body.size(); at += 65528) {
        const size_t length = std::min<size_t>(65528, body.size() - at), padding = (8 - length % 8) % 8;
        reply += header(6, length, padding) + body.substr(at, length) + std::string(padding, '\0');
    }
    reply += header(6, 0, 0) + header(3, 8, 0) + std::string(8, '\0');
    std::vector<size_t> headers;  // where each record header starts
    for (size_t at = 0; at < reply.size(); at += 8 + ((unsigned char)reply[at + 4] << 8 | (unsigned char)reply[at + 5]) + (unsigned char)reply[at + 6]) {
        headers.push_back(at);
    }
    std::string in;
    for (;;) {
        const int fd = ::accept4(0, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        in.clear();
        bool open = true, keep = false;
        while (open) {
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n <= 0) break;
            in.append(buffer, size_t(n));
            size_t at = 0;
            while (open && in.size() - at >= 8) {
                const unsigned char* r = reinterpret_cast<const unsigned char*>(in.data() + at);
                const size_t length = (r[4] << 8 | r[5]), total = 8 + length + r[6];
                if (in.size() - at < total) break;
                if (r[1] == 1) keep = r[8 + 2] & 1;  // BEGIN_REQUEST: the keep-connection flag
                if (r[1] == 5 && length == 0) {      // the end of the body: answer
                    for (size_t h : headers) reply[h + 2] = char(r[2]), reply[h + 3] = char(r[3]);
                    iovec piece = {reply.data(), reply.size()};
                    if (::writev(fd, &piece, 1) != ssize_t(reply.size())) open = false;
                    if (!keep) open = false;
                }
                at += total;
            }
            in.erase(0, at);
        }
        ::close(fd);
    }
}
