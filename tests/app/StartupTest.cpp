// The command line and the listening socket the daemon takes at start-up.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/CommandLine.h"
#include "transport/ListenSocket.h"

namespace {

TEST(StartupTest, CommandLineRunsPrintsOrRefuses) {
    struct Row {
        std::vector<const char*> args;
        int status;
        const char* out;  // what standard output starts with
        bool usageOnErr;
    };
    const Row rows[] = {{{}, -1, "", false},
                        {{"--version"}, 0, "webgated 1.", false},
                        {{"--help"}, 0, "Usage: webgated", false},
                        {{"-x"}, 2, "", true},
                        {{"--version", "--help"}, 2, "", true}};
    for (const Row& row : rows) {
        std::vector<const char*> argv{"webgated"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        char *out = nullptr, *err = nullptr;
        size_t outSize = 0, errSize = 0;
        FILE* outFile = open_memstream(&out, &outSize);
        FILE* errFile = open_memstream(&err, &errSize);
        EXPECT_EQ(handleCommandLine(static_cast<int>(argv.size()), argv.data(), outFile, errFile), row.status);
        std::fclose(outFile);
        std::fclose(errFile);
        EXPECT_EQ(std::string(out).rfind(row.out, 0), 0u) << out;
        EXPECT_EQ(std::string(err).find("Usage: webgated") != std::string::npos, row.usageOnErr) << err;
        std::free(out);
        std::free(err);
    }
}

TEST(StartupTest, TakesTheHandedOverSocketOnlyWhenItIsForThisProcess) {
    const std::string self = std::to_string(::getpid()), other = std::to_string(::getpid() + 1);
    struct Row {
        const char *pid, *fds;  // nullptr: unset
        bool fd3IsSocket;
        int expected;
    };
    const Row rows[] = {
        {self.c_str(), "1", true, 3},    {self.c_str(), "2", true, 3},
        {other.c_str(), "1", true, 0},  // meant for the process that started us
        {nullptr, "1", true, 0},         {self.c_str(), "0", true, 0},
        {self.c_str(), "1x", true, 0},   {self.c_str(), "1", false, 0},  // 3 is a plain file
        {nullptr, nullptr, true, 0},     // spawn-fcgi: standard input
    };
    const int saved = ::dup(3);  // whatever the test process has there
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    FILE* plain = std::tmpfile();
    ASSERT_NE(plain, nullptr);
    for (const Row& row : rows) {
        ASSERT_EQ(::dup2(row.fd3IsSocket ? pair[0] : ::fileno(plain), 3), 3);
        row.pid ? ::setenv("LISTEN_PID", row.pid, 1) : ::unsetenv("LISTEN_PID");
        row.fds ? ::setenv("LISTEN_FDS", row.fds, 1) : ::unsetenv("LISTEN_FDS");
        ::setenv("LISTEN_FDNAMES", "webgated.socket", 1);
        EXPECT_EQ(takeListenSocket(), row.expected) << (row.pid ? row.pid : "-") << " " << (row.fds ? row.fds : "-");
        // Programs the daemon starts never see the hand-over.
        EXPECT_FALSE(std::getenv("LISTEN_PID") || std::getenv("LISTEN_FDS") || std::getenv("LISTEN_FDNAMES"));
    }
    saved >= 0 ? ::dup2(saved, 3) : ::close(3);
    if (saved >= 0) ::close(saved);
    for (const int fd : pair) ::close(fd);
    std::fclose(plain);
}

}  // namespace
