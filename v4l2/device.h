/*
 * A board camera as a V4L2 capture device, for the calls a V4L2 program
 * makes on the descriptors opened on its path.
 *
 * Each open() of a camera's path is a file handle; dup() and its kind share
 * it. A handle's descriptor is an eventfd, readable while a buffer is done,
 * so that poll(), select() and epoll work on it as on a driver's. Every
 * handle of one camera in a process shares one device: its format, and the
 * buffers of the handle that asked for them (REQBUFS; the others get EBUSY).
 *
 * Streaming reads the camera through libboardcam-mt, on a thread of the
 * device's, so the camera is shared with every other program through the
 * hub: a program whose camera another program owns gets the owner's size
 * (G_FMT says so, S_FMT adjusts to it) and is refused (EBUSY) a rate above
 * the owner's at STREAMON. Each frame is written once into the program's
 * buffer, converted to the format it asked for.
 *
 * Any thread may call these; a device's state is guarded by its mutex, never
 * held across a read of the camera.
 */
#ifndef BOARDCAM_V4L2_DEVICE_H
#define BOARDCAM_V4L2_DEVICE_H

#include <stddef.h>
#include <sys/types.h>

struct camera_file;

/* Opens camera `camera` for `path`: a new handle and its descriptor (an
 * eventfd with the open's O_NONBLOCK and O_CLOEXEC), or -1 with errno. */
int device_open(int camera, const char *path, int flags);

/* The handle a descriptor is (taking a reference: device_handle_put()), or
 * NULL for any other descriptor. Cheap for descriptors that are not ours. */
struct camera_file *device_handle_get(int fd);
void device_handle_put(struct camera_file *handle);

/* `fd` is now also the handle's (a dup); `fd` was the system's. */
void device_handle_adopt(struct camera_file *handle, int fd);

/* The descriptor is being closed: the handle loses it, and with its last
 * descriptor stops its stream and frees its buffers. Returns 1 when `fd`
 * was a handle's. */
int device_forget(int fd);

/* The driver's answer to an ioctl: 0 or -1 with errno. */
int device_ioctl(struct camera_file *handle, int fd, unsigned long request, void *argument);

/* mmap() of a buffer: its address, or MAP_FAILED with errno. */
void *device_mmap(struct camera_file *handle, void *address, size_t length, int protection, int flags,
                  off_t offset);

/* munmap() of an address device_mmap() gave, before the system's: the
 * buffer is no longer mapped there. Any other address is left alone. */
void device_unmapped(void *address, size_t length);

/* The path the handle was opened on, and the node's minor number. */
const char *device_handle_path(const struct camera_file *handle);

/* In a child after fork(): no descriptor is a camera's any more (the child
 * does not inherit a stream half shared with its parent). */
void device_forget_all_in_child(void);

#endif
