#include "transport/ListenSocket.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr int kFirstPassedFd = 3;  // SD_LISTEN_FDS_START

// The whole text as a positive number, or 0.
long positive(const char* text) {
    if (!text || !*text) return 0;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return (errno == 0 && *end == '\0' && value > 0) ? value : 0;
}

}  // namespace

int takeListenSocket() {
    const long pid = positive(std::getenv("LISTEN_PID"));
    const long count = positive(std::getenv("LISTEN_FDS"));
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    // Variables meant for another process (a parent that was activated and started us) are
    // not ours to take.
    if (pid != static_cast<long>(::getpid()) || count < 1) return 0;
    struct stat info = {};
    if (::fstat(kFirstPassedFd, &info) != 0 || !S_ISSOCK(info.st_mode)) return 0;
    return kFirstPassedFd;
}
