// Scripting the simulated board from the environment, so that a whole
// program's error handling can be tried without recompiling it:
//   BOARDSIM_FAIL=OpenCamera:1,ReadFrameFromCamera  refuse these calls until cleared
//   BOARDSIM_PACING=0                               deliver frames at once
//   BOARDSIM_PATTERN=scene                          a photograph-like scene instead of colour bars
//   BOARDSIM_PIMO_LIMIT=<bytes>                     device-memory limit
//   BOARDSIM_STAMP=1                                each frame carries its capture time in its pixels
//   BOARDSIM_CALL_LOG=<file>                        append "OpenCamera 0 0" and so on for each media
//                                                   call, for a test watching from another process
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "state.h"

namespace boardsim {
namespace {

bool parseCamera(const std::string &text, int *camera) {
    if (text.empty() || text.size() > 3) return false;
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || !isCamera(int(value))) return false;
    *camera = int(value);
    return true;
}

void applyFailList(State &state, const std::string &list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;

        const size_t colon = item.find(':');
        const std::string name = item.substr(0, colon);
        int camera = BOARDSIM_ANY_CAMERA;
        BoardsimCall call;
        if (boardsim_call_from_name(name.c_str(), &call) != 0 ||
            (colon != std::string::npos && !parseCamera(item.substr(colon + 1), &camera))) {
            std::fprintf(stderr, "boardsim: BOARDSIM_FAIL: ignoring unknown entry '%s'\n",
                         item.c_str());
            continue;
        }
        state.faults.push_back({call, camera, BOARDSIM_FAIL_ALWAYS});
    }
}

}  // namespace

void applyEnvironment(State &state) {
    if (const char *fail = std::getenv("BOARDSIM_FAIL")) applyFailList(state, fail);
    if (const char *pacing = std::getenv("BOARDSIM_PACING")) {
        if (std::string(pacing) == "0") {
            state.pacing = false;
        } else if (std::string(pacing) != "1") {
            std::fprintf(stderr, "boardsim: BOARDSIM_PACING: ignoring '%s' (use 0 or 1)\n", pacing);
        }
    }
    if (const char *pattern = std::getenv("BOARDSIM_PATTERN")) {
        if (std::string(pattern) == "scene") {
            state.pattern = BOARDSIM_PATTERN_SCENE;
        } else if (std::string(pattern) != "bars") {
            std::fprintf(stderr, "boardsim: BOARDSIM_PATTERN: ignoring '%s' (use bars or scene)\n", pattern);
        }
    }
    if (const char *stamp = std::getenv("BOARDSIM_STAMP")) {
        if (std::string(stamp) == "1") {
            state.stamp = true;
        } else if (std::string(stamp) != "0") {
            std::fprintf(stderr, "boardsim: BOARDSIM_STAMP: ignoring '%s' (use 0 or 1)\n", stamp);
        }
    }
    if (const char *path = std::getenv("BOARDSIM_CALL_LOG")) {
        if (*path != '\0' && (state.callLog = std::fopen(path, "a")) == nullptr)
            std::fprintf(stderr, "boardsim: BOARDSIM_CALL_LOG: cannot open '%s'\n", path);
    }
    if (const char *limit = std::getenv("BOARDSIM_PIMO_LIMIT")) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long bytes = std::strtoull(limit, &end, 10);
        if (*limit == '\0' || *end != '\0' || errno != 0 || *limit == '-') {
            std::fprintf(stderr, "boardsim: BOARDSIM_PIMO_LIMIT: ignoring '%s'\n", limit);
        } else {
            state.memoryLimit = size_t(bytes);
        }
    }
}

}  // namespace boardsim
