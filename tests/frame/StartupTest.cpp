// The command line and the listening socket the daemon takes at start-up.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/CommandLine.h"
#include "frame/ListenSocket.h"

namespace {

struct Printed {
    int status;
    std::string out, err;
};

Printed run(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"webgated"};
    argv.insert(argv.end(), args);
    char *outText = nullptr, *errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    const int status = handleCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    Printed printed{status, outText, errText};
    std::free(outText);
    std::free(errText);
    return printed;
}

TEST(StartupTest, CommandLineRunsPrintsOrRefuses) {
    EXPECT_EQ(run({}).status, -1);
    const Printed version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("webgated 1.", 0), 0u) << version.out;
    EXPECT_EQ(version.err, "");
    const Printed help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: webgated"), std::string::npos);
    for (const auto& wrong : {run({"-x"}), run({"--version", "--help"}), run({"socket"})}) {
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_NE(wrong.err.find("Usage: webgated"), std::string::npos);
    }
}

TEST(StartupTest, TakesTheHandedOverSocketOnlyWhenItIsForThisProcess) {
    const std::string self = std::to_string(::getpid()), other = std::to_string(::getpid() + 1);
    struct Row {
        const char* pid;  // nullptr: unset
        const char* fds;
        bool fd3IsSocket;
        int expected;
    };
    const Row rows[] = {
        {self.c_str(), "1", true, 3},
        {self.c_str(), "2", true, 3},
        {other.c_str(), "1", true, 0},   // meant for the process that started us
        {nullptr, "1", true, 0},
        {self.c_str(), "0", true, 0},
        {self.c_str(), "1x", true, 0},
        {self.c_str(), "1", false, 0},   // descriptor 3 is a plain file
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
        EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr);
        EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
        EXPECT_EQ(std::getenv("LISTEN_FDNAMES"), nullptr);
    }
    saved >= 0 ? ::dup2(saved, 3) : ::close(3);
    if (saved >= 0) ::close(saved);
    ::close(pair[0]);
    ::close(pair[1]);
    std::fclose(plain);
}

}  // namespace
