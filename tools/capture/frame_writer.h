/* Writing one captured frame in the chosen format, from an encoder thread. */
#ifndef CAPTURE_FRAME_WRITER_H
#define CAPTURE_FRAME_WRITER_H

#include <stdint.h>
#include <turbojpeg.h>

#include "frame_queue.h"
#include "options.h"
#include "y4m_file.h"

/* What every encoder shares. */
struct frame_writer_config {
    const struct capture_options *opts;
    struct y4m_file *y4m[2]; /* per camera slot, for the y4m format */
};

/* One encoder's own scratch space and compressor. */
struct frame_writer {
    const struct frame_writer_config *config;
    uint8_t *scratch;
    tjhandle jpeg;
};

/* 0, or -1 when memory runs out. */
int frame_writer_init(struct frame_writer *w, const struct frame_writer_config *config);
void frame_writer_destroy(struct frame_writer *w);

/* Writes the job's frame; returns the bytes written, or -1 after saying why on standard error. */
long frame_writer_write(struct frame_writer *w, const struct frame_job *job);

/* Gives up the job's frame unwritten, keeping later frames of its camera in order. */
void frame_writer_skip(struct frame_writer *w, const struct frame_job *job);

#endif
