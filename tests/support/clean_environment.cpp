// Every test starts from a board that the caller's environment does not
// script: the simulator reads these on its first call, after this has run.
// Tests of the environment settings set them again themselves.
#include <cstdlib>
#include <initializer_list>

namespace {

const bool environmentCleared = [] {
    for (const char *name : {"BOARDSIM_FAIL", "BOARDSIM_PACING", "BOARDSIM_APP_LOG", "BOARDSIM_PIMO_LIMIT", "BOARDSIM_PATTERN",
                             "BOARDSIM_PIMO_RECYCLE"}) {
        unsetenv(name);
    }
    return true;
}();

}  // namespace
