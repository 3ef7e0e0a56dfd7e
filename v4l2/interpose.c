/*
 * libboardcam-v4l2: the board's cameras as V4L2 devices to any program it
 * is preloaded into (boardcamify does that).
 *
 * It stands in for the C library's calls a V4L2 program makes: the open
 * family, close and the dup family, ioctl, mmap and munmap, read, and the
 * stat family and access. On a camera's path (device_map.h) and the
 * descriptors opened on it, they are answered here (device.h); on anything
 * else they are the C library's own, untouched. Nothing is set up until a
 * camera's path is first opened: a program that never opens one pays one
 * table look-up per call.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "device.h"
#include "device_map.h"
#include "real_calls.h"

#define EXPORT __attribute__((visibility("default")))
/* V4L2's character devices. */
#define VIDEO_MAJOR 81

/* The next definition of `name` after this library's, looked up once. */
#define REAL(type, name)                                                   \
    static type real_##name##_function(void) {                              \
        static type found;                                                  \
        if (found == NULL) *(void **)&found = dlsym(RTLD_NEXT, #name);      \
        return found;                                                       \
    }

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef FILE *(*fopen_fn)(const char *, const char *);
typedef int (*close_fn)(int);
typedef int (*dup_fn)(int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);
typedef int (*munmap_fn)(void *, size_t);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef int (*stat_fn)(const char *, struct stat *);
typedef int (*stat64_fn)(const char *, struct stat64 *);
typedef int (*fstat_fn)(int, struct stat *);
typedef int (*fstat64_fn)(int, struct stat64 *);
typedef int (*fstatat_fn)(int, const char *, struct stat *, int);
typedef int (*fstatat64_fn)(int, const char *, struct stat64 *, int);

/* The 64-bit forms' struct is the same on the 64-bit machines this runs on. */
_Static_assert(sizeof(struct stat) == sizeof(struct stat64), "struct stat64 differs from struct stat");
typedef int (*statx_fn)(int, const char *, int, unsigned, struct statx *);
typedef int (*access_fn)(const char *, int);
typedef int (*faccessat_fn)(int, const char *, int, int);

REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(open2_fn, __open_2)
REAL(open2_fn, __open64_2)
REAL(openat2_fn, __openat_2)
REAL(openat2_fn, __openat64_2)
REAL(fopen_fn, fopen)
REAL(fopen_fn, fopen64)
REAL(close_fn, close)
REAL(dup_fn, dup)
REAL(dup2_fn, dup2)
REAL(dup3_fn, dup3)
REAL(fcntl_fn, fcntl)
REAL(ioctl_fn, ioctl)
REAL(mmap_fn, mmap)
REAL(mmap_fn, mmap64)
REAL(munmap_fn, munmap)
REAL(read_fn, read)
REAL(stat_fn, stat)
REAL(stat64_fn, stat64)
REAL(stat_fn, lstat)
REAL(stat64_fn, lstat64)
REAL(fstat_fn, fstat)
REAL(fstat64_fn, fstat64)
REAL(fstatat_fn, fstatat)
REAL(fstatat64_fn, fstatat64)
REAL(statx_fn, statx)
REAL(access_fn, access)
REAL(faccessat_fn, faccessat)

int real_close(int fd) { return real_close_function()(fd); }
int real_fcntl_int(int fd, int command, int argument) { return real_fcntl_function()(fd, command, argument); }
ssize_t real_read(int fd, void *buffer, size_t count) { return real_read_function()(fd, buffer, count); }
void *real_mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    return real_mmap_function()(address, length, protection, flags, fd, offset);
}
int real_munmap(void *address, size_t length) { return real_munmap_function()(address, length); }

/* --- opening ----------------------------------------------------------- */

static pthread_once_t fork_handler_once = PTHREAD_ONCE_INIT;

static void register_fork_handler(void) { pthread_atfork(NULL, NULL, device_forget_all_in_child); }

/* What the kernel would say of a camera's node in
 * /sys/dev/char/81:MINOR/uevent, which V4L2's tools read to tell a video
 * node from a radio's or a subdevice's: a file of that text. Else -2. */
static int open_uevent(const char *path) {
    static const char prefix[] = "/sys/dev/char/81:";
    const char *node, *name;
    char text[256], *end = NULL;
    long minor;
    int fd;
    if (strncmp(path, prefix, sizeof prefix - 1) != 0) return -2;
    minor = strtol(path + sizeof prefix - 1, &end, 10);
    if (end == path + sizeof prefix - 1 || strcmp(end, "/uevent") != 0 || minor < 0 || minor > 255) return -2;
    node = device_map_path_of_minor((int)minor);
    if (node == NULL) return -2;
    name = strncmp(node, "/dev/", 5) == 0 ? node + 5 : node;
    snprintf(text, sizeof text, "MAJOR=%d\nMINOR=%ld\nDEVNAME=%s\n", VIDEO_MAJOR, minor, name);
    fd = memfd_create("boardcam-uevent", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (write(fd, text, strlen(text)) != (ssize_t)strlen(text) || lseek(fd, 0, SEEK_SET) != 0) {
        real_close(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

/* A camera's path opened: its handle's descriptor. Else -2: not ours. */
static int open_camera(int dirfd, const char *path, int flags) {
    const int camera = path != NULL && (path[0] == '/' || dirfd == AT_FDCWD) ? device_map_camera(path) : -1;
    if (camera < 0) return path != NULL && path[0] == '/' ? open_uevent(path) : -2;
    pthread_once(&fork_handler_once, register_fork_handler);
    if (flags & (O_CREAT | O_TRUNC | O_DIRECTORY | O_PATH)) {
        errno = EINVAL;
        return -1;
    }
    return device_open(camera, path, flags);
}

static mode_t mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

EXPORT int open(const char *path, int flags, ...) {
    va_list args;
    mode_t mode;
    const int fd = open_camera(AT_FDCWD, path, flags);
    if (fd != -2) return fd;
    va_start(args, flags);
    mode = mode_argument(flags, args);
    va_end(args);
    return real_open_function()(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    va_list args;
    mode_t mode;
    const int fd = open_camera(AT_FDCWD, path, flags);
    if (fd != -2) return fd;
    va_start(args, flags);
    mode = mode_argument(flags, args);
    va_end(args);
    return real_open64_function()(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    mode_t mode;
    const int fd = open_camera(dirfd, path, flags);
    if (fd != -2) return fd;
    va_start(args, flags);
    mode = mode_argument(flags, args);
    va_end(args);
    return real_openat_function()(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    mode_t mode;
    const int fd = open_camera(dirfd, path, flags);
    if (fd != -2) return fd;
    va_start(args, flags);
    mode = mode_argument(flags, args);
    va_end(args);
    return real_openat64_function()(dirfd, path, flags, mode);
}

/* The fortified forms a program built with _FORTIFY_SOURCE calls (a C
 * library without them gets the plain ones). */
EXPORT int __open_2(const char *path, int flags) {
    const int fd = open_camera(AT_FDCWD, path, flags);
    if (fd != -2) return fd;
    return real___open_2_function() != NULL ? real___open_2_function()(path, flags)
                                            : real_open_function()(path, flags);
}

EXPORT int __open64_2(const char *path, int flags) {
    const int fd = open_camera(AT_FDCWD, path, flags);
    if (fd != -2) return fd;
    return real___open64_2_function() != NULL ? real___open64_2_function()(path, flags)
                                              : real_open_function()(path, flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    const int fd = open_camera(dirfd, path, flags);
    if (fd != -2) return fd;
    return real___openat_2_function() != NULL ? real___openat_2_function()(dirfd, path, flags)
                                              : real_openat_function()(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    const int fd = open_camera(dirfd, path, flags);
    if (fd != -2) return fd;
    return real___openat64_2_function() != NULL ? real___openat64_2_function()(dirfd, path, flags)
                                                : real_openat_function()(dirfd, path, flags);
}

/* The tools read the node's uevent through stdio, whose own opens are the
 * C library's internal ones. */
static FILE *open_uevent_file(const char *path, const char *mode, fopen_fn real) {
    const int fd = path != NULL && mode != NULL && mode[0] == 'r' && strchr(mode, '+') == NULL ? open_uevent(path)
                                                                                             : -2;
    FILE *file;
    if (fd == -2) return real(path, mode);
    if (fd < 0) return NULL;
    file = fdopen(fd, "r");
    if (file == NULL) real_close(fd);
    return file;
}

EXPORT FILE *fopen(const char *path, const char *mode) { return open_uevent_file(path, mode, real_fopen_function()); }

EXPORT FILE *fopen64(const char *path, const char *mode) {
    return open_uevent_file(path, mode, real_fopen64_function());
}

/* --- descriptors ------------------------------------------------------- */

EXPORT int close(int fd) {
    device_forget(fd);
    return real_close_function()(fd);
}

/* A new descriptor of `old`: if `old` is a camera's, so is the new one. */
static int adopted(int old, int result) {
    struct camera_file *handle;
    if (result < 0) return result;
    handle = device_handle_get(old);
    if (handle != NULL) {
        device_handle_adopt(handle, result);
        device_handle_put(handle);
    }
    return result;
}

EXPORT int dup(int fd) { return adopted(fd, real_dup_function()(fd)); }

EXPORT int dup2(int old, int new) {
    if (old != new) device_forget(new); /* dup2 closes `new` first */
    return adopted(old, real_dup2_function()(old, new));
}

EXPORT int dup3(int old, int new, int flags) {
    if (old != new) device_forget(new);
    return adopted(old, real_dup3_function()(old, new, flags));
}

EXPORT int fcntl(int fd, int command, ...) {
    va_list args;
    uintptr_t argument;
    int result;
    va_start(args, command);
    argument = va_arg(args, uintptr_t);
    va_end(args);
    result = real_fcntl_function()(fd, command, argument);
    if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) return adopted(fd, result);
    return result;
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    void *argument;
    struct camera_file *handle;
    int result;
    va_start(args, request);
    argument = va_arg(args, void *);
    va_end(args);
    handle = device_handle_get(fd);
    if (handle == NULL) return real_ioctl_function()(fd, request, argument);
    result = device_ioctl(handle, fd, request, argument);
    device_handle_put(handle);
    return result;
}

static void *map(void *address, size_t length, int protection, int flags, int fd, off_t offset, mmap_fn real) {
    struct camera_file *handle = device_handle_get(fd);
    void *mapped;
    if (handle == NULL) return real(address, length, protection, flags, fd, offset);
    mapped = device_mmap(handle, address, length, protection, flags, offset);
    device_handle_put(handle);
    return mapped;
}

EXPORT void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    return map(address, length, protection, flags, fd, offset, real_mmap_function());
}

EXPORT void *mmap64(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    return map(address, length, protection, flags, fd, offset, real_mmap64_function());
}

EXPORT int munmap(void *address, size_t length) {
    device_unmapped(address, length);
    return real_munmap_function()(address, length);
}

/* The cameras stream; they are not read(). */
EXPORT ssize_t read(int fd, void *buffer, size_t count) {
    struct camera_file *handle = device_handle_get(fd);
    if (handle == NULL) return real_read_function()(fd, buffer, count);
    device_handle_put(handle);
    errno = EINVAL;
    return -1;
}

/* --- what a camera's node looks like ----------------------------------- */

/* A character device of V4L2's, readable and writable by its group. */
static void describe_node(const char *path, struct stat *out) {
    memset(out, 0, sizeof *out);
    out->st_mode = S_IFCHR | 0660;
    out->st_nlink = 1;
    out->st_rdev = makedev(VIDEO_MAJOR, (unsigned)device_map_minor(path));
    out->st_blksize = 4096;
    out->st_atim.tv_sec = out->st_mtim.tv_sec = out->st_ctim.tv_sec = time(NULL);
}

static bool camera_path(const char *path) { return path != NULL && device_map_camera(path) >= 0; }

/* The calls themselves, for their exported names here and below: a call
 * by name from inside the layer could land in another preloaded library's
 * stat() (a sanitizer's), which may call back into ours. */
static int stat_of(const char *path, struct stat *out) {
    if (!camera_path(path)) return real_stat_function()(path, out);
    describe_node(path, out);
    return 0;
}

static int lstat_of(const char *path, struct stat *out) {
    if (!camera_path(path)) return real_lstat_function()(path, out);
    describe_node(path, out);
    return 0;
}

EXPORT int stat(const char *path, struct stat *out) { return stat_of(path, out); }

EXPORT int stat64(const char *path, struct stat64 *out) {
    if (!camera_path(path)) return real_stat64_function()(path, out);
    describe_node(path, (struct stat *)out);
    return 0;
}

EXPORT int lstat(const char *path, struct stat *out) { return lstat_of(path, out); }

EXPORT int lstat64(const char *path, struct stat64 *out) {
    if (!camera_path(path)) return real_lstat64_function()(path, out);
    describe_node(path, (struct stat *)out);
    return 0;
}

static int describe_descriptor(int fd, struct stat *out) {
    struct camera_file *handle = device_handle_get(fd);
    if (handle == NULL) return 0;
    describe_node(device_handle_path(handle), out);
    device_handle_put(handle);
    return 1;
}

static int fstat_of(int fd, struct stat *out) {
    return describe_descriptor(fd, out) ? 0 : real_fstat_function()(fd, out);
}

EXPORT int fstat(int fd, struct stat *out) { return fstat_of(fd, out); }

EXPORT int fstat64(int fd, struct stat64 *out) {
    return describe_descriptor(fd, (struct stat *)out) ? 0 : real_fstat64_function()(fd, out);
}

/* 1 when the fstatat() is of a camera, `out` filled. */
static int describe_at(int dirfd, const char *path, struct stat *out, int flags) {
    if ((flags & AT_EMPTY_PATH) && (path == NULL || *path == '\0') && describe_descriptor(dirfd, out)) return 1;
    if (camera_path(path) && (path[0] == '/' || dirfd == AT_FDCWD)) {
        describe_node(path, out);
        return 1;
    }
    return 0;
}

static int fstatat_of(int dirfd, const char *path, struct stat *out, int flags) {
    return describe_at(dirfd, path, out, flags) ? 0 : real_fstatat_function()(dirfd, path, out, flags);
}

EXPORT int fstatat(int dirfd, const char *path, struct stat *out, int flags) {
    return fstatat_of(dirfd, path, out, flags);
}

EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *out, int flags) {
    return describe_at(dirfd, path, (struct stat *)out, flags) ? 0
                                                               : real_fstatat64_function()(dirfd, path, out, flags);
}

EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *out) {
    struct stat node;
    if (!describe_at(dirfd, path, &node, flags)) return real_statx_function()(dirfd, path, flags, mask, out);
    memset(out, 0, sizeof *out);
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_mode = (uint16_t)node.st_mode;
    out->stx_nlink = 1;
    out->stx_blksize = 4096;
    out->stx_rdev_major = major(node.st_rdev);
    out->stx_rdev_minor = minor(node.st_rdev);
    out->stx_atime.tv_sec = out->stx_mtime.tv_sec = out->stx_ctime.tv_sec = node.st_mtim.tv_sec;
    return 0;
}

/* The same calls as the C library spelt them before version 2.33: programs
 * built against an older one call these, and so do some sanitizers' own
 * stat(). On the 64-bit machines this runs on, every version of their
 * struct is struct stat, so they are the calls above (called as stat_of() and its kin). */
EXPORT int __xstat(int version, const char *path, struct stat *out) {
    (void)version;
    return stat_of(path, out);
}

EXPORT int __xstat64(int version, const char *path, struct stat *out) {
    (void)version;
    return stat_of(path, out);
}

EXPORT int __lxstat(int version, const char *path, struct stat *out) {
    (void)version;
    return lstat_of(path, out);
}

EXPORT int __lxstat64(int version, const char *path, struct stat *out) {
    (void)version;
    return lstat_of(path, out);
}

EXPORT int __fxstat(int version, int fd, struct stat *out) {
    (void)version;
    return fstat_of(fd, out);
}

EXPORT int __fxstat64(int version, int fd, struct stat *out) {
    (void)version;
    return fstat_of(fd, out);
}

EXPORT int __fxstatat(int version, int dirfd, const char *path, struct stat *out, int flags) {
    (void)version;
    return fstatat_of(dirfd, path, out, flags);
}

EXPORT int __fxstatat64(int version, int dirfd, const char *path, struct stat *out, int flags) {
    (void)version;
    return fstatat_of(dirfd, path, out, flags);
}

EXPORT int access(const char *path, int mode) {
    if (!camera_path(path)) return real_access_function()(path, mode);
    (void)mode;
    return 0;
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) {
    if (!camera_path(path) || (path[0] != '/' && dirfd != AT_FDCWD)) return real_faccessat_function()(dirfd, path, mode, flags);
    return 0;
}
