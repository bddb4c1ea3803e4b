#include "service/CommandLine.h"

#include <cstring>

#include "BuildVersion.h"

namespace {

const char kUsage[] =
    "Usage: webgated [--version | --help]\n"
    "FastCGI back end of the robot's web interface. It serves the listening socket handed over\n"
    "by systemd (LISTEN_FDS) or, without one, the listening socket on standard input\n"
    "(spawn-fcgi, StandardInput=socket).\n"
    "Configuration: /etc/corvanta/webgated.conf, /home/corvanta/.config/webgated.conf\n"
    "Log: /var/log/webgated and standard output\n"
    "  --version  print the version and exit\n"
    "  --help     print this text and exit\n";

}  // namespace

int handleCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (argc <= 1) return -1;
    const char* option = argv[1];
    if (argc == 2 && std::strcmp(option, "--version") == 0) {
        std::fprintf(out, "webgated %s (%s)\n", WEBGATED_VERSION, WEBGATED_COMMIT);
        return 0;
    }
    if (argc == 2 && std::strcmp(option, "--help") == 0) {
        std::fputs(kUsage, out);
        return 0;
    }
    std::fprintf(err, "webgated: unknown option '%s'\n%s", option, kUsage);
    return 2;
}
