#include "journal.h"

#include <algorithm>

namespace testsupport {

std::vector<BoardsimEvent> journal() {
    std::vector<BoardsimEvent> events(boardsim_journal_size());
    for (size_t i = 0; i < events.size(); ++i) boardsim_journal_entry(i, &events[i]);
    return events;
}

std::vector<BoardsimEvent> entriesOf(BoardsimCall call) {
    std::vector<BoardsimEvent> out;
    for (const BoardsimEvent &e : journal()) {
        if (e.call == call) out.push_back(e);
    }
    return out;
}

std::vector<std::string> mediaCalls() {
    std::vector<std::string> out;
    for (const BoardsimEvent &e : journal()) {
        if (e.call >= BOARDSIM_APP_LOG) continue;
        std::string call = boardsim_call_name(e.call);
        if (e.call == BOARDSIM_MEDIA_LIB_INIT) {
            call += "()";
        } else if (e.call == BOARDSIM_SET_CAMERA_PROPERTY) {
            call += "(" + std::to_string(e.camera) + "," + std::to_string(e.prop) + ")";
        } else {
            call += "(" + std::to_string(e.camera) + ")";
        }
        out.push_back(call);
    }
    return out;
}

std::vector<std::string> allCalls() {
    std::vector<std::string> out;
    for (const BoardsimEvent &e : journal()) out.push_back(boardsim_call_name(e.call));
    return out;
}

std::string describeLog(const BoardsimEvent &e) {
    return std::to_string(e.level) + "|" + e.func + "|" + e.text;
}

std::vector<std::string> logRecords() {
    std::vector<std::string> out;
    for (const BoardsimEvent &e : entriesOf(BOARDSIM_APP_LOG)) out.push_back(describeLog(e));
    return out;
}

std::string firstOverlap() {
    std::vector<BoardsimEvent> events = journal();
    std::sort(events.begin(), events.end(),
              [](const BoardsimEvent &a, const BoardsimEvent &b) { return a.startNs < b.startNs; });
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].startNs < events[i - 1].endNs) {
            return std::string(boardsim_call_name(events[i - 1].call)) + "(" + std::to_string(events[i - 1].camera) +
                   ") and " + boardsim_call_name(events[i].call) + "(" + std::to_string(events[i].camera) +
                   ") overlap by " + std::to_string(events[i - 1].endNs - events[i].startNs) + " ns";
        }
    }
    return "";
}

void resetBoard() {
    boardsim_reset();
    boardsim_set_pacing(false);
}

}  // namespace testsupport
