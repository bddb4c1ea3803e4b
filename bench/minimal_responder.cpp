// The floor the daemon is measured against: a libfcgi responder that answers every request
// with the bytes of one file (header lines and body), on the socket it gets as standard input.
#include <fcgiapp.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: minimal_responder RESPONSE_FILE\n");
        return 2;
    }
    std::vector<char> response;
    if (FILE* file = std::fopen(argv[1], "rb")) {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) response.insert(response.end(), chunk, chunk + n);
        std::fclose(file);
    } else {
        std::perror(argv[1]);
        return 1;
    }
    FCGX_Init();
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        FCGX_PutStr(response.data(), static_cast<int>(response.size()), request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}
