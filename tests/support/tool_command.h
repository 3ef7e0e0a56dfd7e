// Starting a program under test as a user would, under the emulator the
// tests themselves run under when there is one.
#ifndef BOARDCAM_TEST_TOOL_COMMAND_H
#define BOARDCAM_TEST_TOOL_COMMAND_H

#include <string>
#include <vector>

namespace testsupport {

// Replaces the calling (child) process with `program args...`, preceded by
// the words of `launcher` (an emulator command, or empty). Exits 127 when
// the program cannot be started.
[[noreturn]] void execProgram(const std::string &launcher, const std::string &program,
                              const std::vector<std::string> &args);

}  // namespace testsupport

#endif
