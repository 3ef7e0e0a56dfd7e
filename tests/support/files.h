// Files in tests: a scratch folder that goes with the test, and reading back
// what a program wrote.
#ifndef BOARDCAM_TEST_FILES_H
#define BOARDCAM_TEST_FILES_H

#include <string>

namespace testsupport {

// A new folder under /tmp, removed with everything in it when this goes.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string &prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string slurp(const std::string &path);

// True when something exists at `path`.
bool exists(const std::string &path);

}  // namespace testsupport

#endif
