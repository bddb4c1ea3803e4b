// Stands in for "dpkg -l" in end-to-end tests: the listing has one package per descriptor the
// program was started with, named by its number, with its target as the version.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 1;
    std::printf("Desired=Unknown/Install\n||/ Name Version\n+++-====-=======\n");
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
        char target[4096] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) < 0) std::strcpy(target, "?");
        std::printf("ii %s %s\n", entry->d_name, target);
    }
    closedir(dir);
    return 0;
}
