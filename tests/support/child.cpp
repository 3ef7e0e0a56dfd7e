#include "child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport {

ChildResult runInChild(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, "pipe failed"};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return {-1, "fork failed"};
    if (pid == 0) {
        close(fds[0]);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        const std::string message = body();
        size_t done = 0;
        while (done < message.size()) {
            const ssize_t n = write(fds[1], message.data() + done, message.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        std::fflush(nullptr);
        _exit(message.empty() ? 0 : 1);
    }
    close(fds[1]);
    std::string message;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) message.append(buf, size_t(n));
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return {status, message};
}

}  // namespace testsupport
