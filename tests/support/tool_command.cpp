#include "tool_command.h"

#include <unistd.h>

#include <sstream>

namespace testsupport {

void execProgram(const std::string &launcher, const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> words;
    std::istringstream in(launcher);
    for (std::string w; in >> w;) words.push_back(w);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace testsupport
