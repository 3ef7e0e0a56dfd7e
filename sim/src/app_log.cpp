// The simulated application log: every record is kept in the journal and,
// when BOARDSIM_APP_LOG names a file, appended to it as one line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hooks.h"
#include "state.h"

using namespace boardsim;

namespace {

void copyName(char (&dst)[BOARDSIM_NAME_MAX], const char *src) {
    std::snprintf(dst, sizeof dst, "%s", src != nullptr ? src : "");
}

const char *levelName(int level) {
    switch (level) {
        case 1: return "INFO";
        case 2: return "WARN";
        case 3: return "ERROR";
        default: return "LOG";
    }
}

// The file named by BOARDSIM_APP_LOG, opened on first use; null when none.
FILE *logFile() {
    static FILE *file = [] {
        const char *path = std::getenv("BOARDSIM_APP_LOG");
        return (path != nullptr && *path != '\0') ? std::fopen(path, "a") : nullptr;
    }();
    return file;
}

// Appends under the state lock, so lines of different threads never mix.
void appendToFile(FILE *file, const BoardsimEvent &event) {
    std::fprintf(file, "[%s] %s:%d %s: ", levelName(event.level), event.file, event.line, event.func);
    for (const char *p = event.text; *p != '\0'; ++p) std::fputc(*p == '\n' ? ' ' : *p, file);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace

extern "C" int boardsim_impl_vekAppLog(int level, const char *func, const char *file, int line,
                                       const char *fmt, va_list args) {
    State &s = State::get();
    FILE *out = logFile();
    std::lock_guard<std::mutex> lock(s.mu);
    const bool refused = s.takeFault(BOARDSIM_APP_LOG, BOARDSIM_ANY_CAMERA);
    const int result = (refused || fmt == nullptr) ? -1 : 0;
    // A record that nobody can read back is not worth building.
    if (!s.journalOn && out == nullptr) return result;

    BoardsimEvent event = makeEvent(BOARDSIM_APP_LOG, BOARDSIM_ANY_CAMERA);
    event.refused = refused;
    event.result = result;
    event.level = level;
    event.line = line;
    copyName(event.func, func);
    copyName(event.file, file);
    if (fmt != nullptr) std::vsnprintf(event.text, sizeof event.text, fmt, args);
    if (event.result == 0 && out != nullptr) appendToFile(out, event);
    s.record(event);
    return event.result;
}
