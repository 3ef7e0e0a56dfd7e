// Running a piece of a test in a forked child, so that it starts from the
// process's state at the fork (the library's camera table included) and a
// crash is caught as a result rather than ending the test.
#ifndef BOARDCAM_TEST_CHILD_H
#define BOARDCAM_TEST_CHILD_H

#include <functional>
#include <string>

namespace testsupport {

struct ChildResult {
    int status;           // exit status, or 128 + the signal that ended the child
    std::string message;  // what the body returned
};

// Runs `body` in a child whose standard output is discarded. The body returns
// an empty string when all is well, otherwise a description of what is not.
ChildResult runInChild(const std::function<std::string()> &body);

}  // namespace testsupport

#endif
