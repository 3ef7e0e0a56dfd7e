/*
 * Device runtime, image processing: device memory for frames.
 *
 * Shipped by the host board simulator in the place of the board SDK's own.
 * Frames handed out by the camera library live in this memory; release each
 * with vekpimoFree() when done.
 */
#ifndef VEKPIMO_H
#define VEKPIMO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Allocates size bytes of device memory into *ptr; 0 on success, else an error code. */
int vekpimoMalloc(void **ptr, size_t size);

/* Releases a buffer from vekpimoMalloc(); 0 on success, else an error code. */
int vekpimoFree(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
