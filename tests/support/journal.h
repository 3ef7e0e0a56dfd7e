// Reading the simulator's journal in tests.
#ifndef BOARDCAM_TEST_JOURNAL_H
#define BOARDCAM_TEST_JOURNAL_H

#include <string>
#include <vector>

#include "boardsim.h"

namespace testsupport {

// Every journal entry, oldest first.
std::vector<BoardsimEvent> journal();

// Entries of one kind of call.
std::vector<BoardsimEvent> entriesOf(BoardsimCall call);

// The media library calls in order, as "Name(id)" or, for properties,
// "SetCameraProperty(id,code)"; runtime calls are left out.
std::vector<std::string> mediaCalls();

// The platform calls in order by name, runtime calls included.
std::vector<std::string> allCalls();

// A log record as "level|function|text".
std::string describeLog(const BoardsimEvent &event);

// Every log record, described as above.
std::vector<std::string> logRecords();

// Empty when no two journal entries overlap in time (the calls were
// serialised); otherwise describes the first pair that does.
std::string firstOverlap();

// Puts the simulator back to a known start with pacing off.
void resetBoard();

}  // namespace testsupport

#endif
