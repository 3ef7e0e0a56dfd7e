#include "camera_hold.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state.h"

namespace boardsim {
namespace {

int held[kCameraCount] = {-1, -1};  // the lock's descriptor while this process has the camera

std::string runtimeDir() {
    const char *dir = std::getenv("BOARDSIM_RUNTIME_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp/boardsim";
}

// The camera's lock file, opened; -1 (said once) when the folder cannot be
// used, and then the camera is not shared with other processes' rule.
int openLockFile(int id) {
    static bool warned = false;
    const std::string dir = runtimeDir();
    // Every user of the machine shares the cameras: the folder is open to
    // all, like /tmp, and so is each lock file.
    if (mkdir(dir.c_str(), 01777) == 0) chmod(dir.c_str(), 01777);
    const std::string path = dir + "/camera" + std::to_string(id) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (!warned) {
            std::fprintf(stderr, "boardsim: cannot use %s (%s): cameras are not kept to one process\n",
                         path.c_str(), std::strerror(errno));
            warned = true;
        }
        return -1;
    }
    fchmod(fd, 0666);
    return fd;
}

struct flock wholeFile(short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

}  // namespace

bool takeCameraHold(int id) {
    if (!isCamera(id)) return false;
    if (held[id] >= 0) return true;
    const int fd = openLockFile(id);
    if (fd < 0) return true;
    struct flock lock = wholeFile(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        close(fd);
        return false;
    }
    held[id] = fd;
    return true;
}

void dropCameraHold(int id) {
    if (!isCamera(id) || held[id] < 0) return;
    close(held[id]);  // the lock goes with its open file description
    held[id] = -1;
}

bool cameraHeldElsewhere(int id) {
    if (!isCamera(id) || held[id] >= 0) return false;
    const int fd = openLockFile(id);
    if (fd < 0) return false;
    // A test that takes nothing, so that two processes looking at once
    // never see each other as the holder.
    struct flock lock = wholeFile(F_WRLCK);
    const bool elsewhere = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return elsewhere;
}

}  // namespace boardsim
