// instroot: runs a command inside a fresh instrument root.
//
//   instroot [--state DIR] [--flash FILE] [--faults FILE] [--ro DIR]... [--rw DIR]...
//            -- COMMAND ARGS...
//
// The command replaces this program inside the root, so its exit status is
// the command's. 125: the root could not be made or the usage is wrong;
// 127: the command could not be started.
#include "InstrumentRoot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: instroot [--state DIR] [--flash FILE] [--faults FILE] [--ro DIR]... "
                 "[--rw DIR]... -- COMMAND ARGS...\n");
    return 125;
}

// Host paths are given to the root as absolute paths.
bool Absolute(const char* path, std::string* out) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        std::fprintf(stderr, "instroot: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    *out = resolved;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    InstrumentRootConfig config;
    config.readOnlyDirs.push_back(SWU_SOURCE_DIR);
    config.readOnlyDirs.push_back(SWU_BUILD_DIR);
    int i = 1;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) {
            return Usage();
        }
        std::string value;
        if (option == "--state") {
            // The state directory is created when missing.
            if (access(argv[i + 1], F_OK) != 0 && mkdir(argv[i + 1], 0755) != 0) {
                std::fprintf(stderr, "instroot: cannot create %s: %s\n", argv[i + 1],
                             std::strerror(errno));
                return 125;
            }
            if (!Absolute(argv[i + 1], &config.stateDir)) {
                return 125;
            }
        } else if (option == "--flash") {
            if (!Absolute(argv[i + 1], &config.flashFile)) {
                return 125;
            }
        } else if (option == "--faults") {
            if (!Absolute(argv[i + 1], &config.faultsFile)) {
                return 125;
            }
        } else if (option == "--ro" || option == "--rw") {
            if (!Absolute(argv[i + 1], &value)) {
                return 125;
            }
            (option == "--ro" ? config.readOnlyDirs : config.writableDirs).push_back(value);
        } else {
            return Usage();
        }
        ++i;
    }
    if (i >= argc) {
        return Usage();
    }
    // A command given by a relative path names a host file: inside the root
    // the working directory is /tmp.
    std::string command = argv[i];
    if (command.find('/') != std::string::npos && command[0] != '/' &&
        !Absolute(argv[i], &command)) {
        return 127;
    }
    // cppcheck-suppress autoVariables ; main's own local outlives the exec below
    argv[i] = command.data();
    std::string why;
    if (EnterInstrumentRoot(config, &why) != 0) {
        std::fprintf(stderr, "instroot: no instrument root: %s\n", why.c_str());
        return 125;
    }
    execvp(argv[i], argv + i);
    std::fprintf(stderr, "instroot: cannot run %s: %s\n", argv[i], std::strerror(errno));
    return 127;
}
