// Scripting the simulated board from the environment, so that a whole
// program's error handling can be tried without recompiling it:
//   BOARDSIM_FAIL=OpenCamera:1,ReadFrameFromCamera  refuse these calls until cleared
//   BOARDSIM_FAIL=ReadFrameFromCamera:1@90+60       refuse that camera's matching calls 90 to 149
//                                                   (counted from 0), pass the rest
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

// "90+60" into a window of 60 calls from the 90th; false if malformed.
bool parseWindow(const std::string &text, uint64_t *start, uint64_t *length) {
    const size_t plus = text.find('+');
    if (plus == std::string::npos || plus == 0 || plus + 1 == text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != plus && (text[i] < '0' || text[i] > '9')) return false;
    if (plus > 18 || text.size() - plus - 1 > 18) return false;
    *start = std::strtoull(text.substr(0, plus).c_str(), nullptr, 10);
    *length = std::strtoull(text.substr(plus + 1).c_str(), nullptr, 10);
    return *length > 0;
}

void applyFailList(State &state, const std::string &list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;

        const size_t at = item.find('@');
        const std::string target = item.substr(0, at);
        const size_t colon = target.find(':');
        const std::string name = target.substr(0, colon);
        int camera = BOARDSIM_ANY_CAMERA;
        uint64_t windowStart = 0, windowLength = 0;
        BoardsimCall call;
        if (boardsim_call_from_name(name.c_str(), &call) != 0 ||
            (colon != std::string::npos && !parseCamera(target.substr(colon + 1), &camera)) ||
            (at != std::string::npos && !parseWindow(item.substr(at + 1), &windowStart, &windowLength))) {
            std::fprintf(stderr, "boardsim: BOARDSIM_FAIL: ignoring unknown entry '%s'\n",
                         item.c_str());
            continue;
        }
        Fault fault{call, camera, BOARDSIM_FAIL_ALWAYS};
        if (at != std::string::npos) {
            fault.windowed = true;
            fault.windowStart = windowStart;
            fault.windowLength = windowLength;
        }
        state.faults.push_back(fault);
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
