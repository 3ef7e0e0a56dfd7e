// Every test starts from a board that the caller's environment does not
// script: the simulator reads these on its first call, after this has run.
// Tests of the environment settings set them again themselves.
//
// Each test process is a board of its own: the simulator's cameras and
// libboardcam-mt's sharing live in a runtime folder made for it, so that
// tests run in parallel never find each other's cameras in use. Programs a
// test starts inherit the folder and share the test's board.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>

namespace {

std::string runtimeDir;
pid_t madeBy;

void removeRuntimeDir() {
    if (getpid() != madeBy) return;  // a forked child leaves its parent's folder alone
    if (DIR *dir = opendir(runtimeDir.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((runtimeDir + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(runtimeDir.c_str());
}

const bool environmentCleared = [] {
    for (const char *name : {"BOARDSIM_FAIL", "BOARDSIM_PACING", "BOARDSIM_APP_LOG", "BOARDSIM_PIMO_LIMIT", "BOARDSIM_PATTERN",
                             "BOARDSIM_PIMO_RECYCLE"}) {
        unsetenv(name);
    }
    char dir[] = "/tmp/boardcam-test-XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        runtimeDir = dir;
        madeBy = getpid();
        setenv("BOARDSIM_RUNTIME_DIR", dir, 1);
        setenv("BOARDCAM_RUNTIME_DIR", dir, 1);
        std::atexit(removeRuntimeDir);
    }
    return true;
}();

}  // namespace
