/* NV12's interleaved chroma as the separate U and V planes of I420. */
#ifndef CAPTURE_NV12_PLANES_H
#define CAPTURE_NV12_PLANES_H

#include <stddef.h>
#include <stdint.h>

/* Splits `samples` UV pairs into u[] and v[]. */
void nv12_split_chroma(const uint8_t *uv, size_t samples, uint8_t *u, uint8_t *v);

#endif
