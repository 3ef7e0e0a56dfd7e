#include "nv12_planes.h"

void nv12_split_chroma(const uint8_t *uv, size_t samples, uint8_t *u, uint8_t *v) {
    size_t i;
    for (i = 0; i < samples; ++i) {
        u[i] = uv[2 * i];
        v[i] = uv[2 * i + 1];
    }
}
