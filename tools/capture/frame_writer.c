#include "frame_writer.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "jpeg_file.h"
#include "nv12_to_rgb.h"
#include "png_file.h"

#define PROGRAM "boardcam-capture"

int frame_writer_init(struct frame_writer *w, const struct frame_writer_config *config) {
    const struct capture_options *opts = config->opts;
    const size_t pixels = (size_t)opts->width * (size_t)opts->height;
    size_t scratch = 0;
    w->config = config;
    w->scratch = NULL;
    w->jpeg = NULL;
    switch (opts->format) {
    case CAPTURE_PNG: scratch = pixels * 3; break;            /* RGB rows for libpng */
    case CAPTURE_JPEG:                                         /* planar chroma */
    case CAPTURE_Y4M: scratch = pixels / 2; break;
    case CAPTURE_NV12: break;
    }
    if (scratch != 0 && (w->scratch = malloc(scratch)) == NULL) return -1;
    if (opts->format == CAPTURE_JPEG && (w->jpeg = tjInitCompress()) == NULL) {
        free(w->scratch);
        return -1;
    }
    return 0;
}

void frame_writer_destroy(struct frame_writer *w) {
    if (w->jpeg != NULL) tjDestroy(w->jpeg);
    free(w->scratch);
}

static int write_raw(const char *path, const void *data, size_t size) {
    FILE *file = fopen(path, "wb");
    int ok;
    if (file == NULL) return -1;
    ok = fwrite(data, 1, size, file) == size;
    return (fclose(file) == 0 && ok) ? 0 : -1;
}

/* File names use the usual extensions: .jpg rather than the format's name. */
static const char *extension(enum capture_format format) {
    return format == CAPTURE_JPEG ? "jpg" : format_name(format);
}

long frame_writer_write(struct frame_writer *w, const struct frame_job *job) {
    const struct capture_options *opts = w->config->opts;
    const uint8_t *nv12 = job->frame.data;
    char path[4200];
    struct stat st;
    int result = 0;

    errno = 0;
    if (opts->format == CAPTURE_Y4M) {
        const long written = y4m_append(w->config->y4m[job->slot], job->index, nv12, w->scratch);
        if (written >= 0) return written;
        snprintf(path, sizeof path, "%s/cam%d.y4m", opts->out_dir, job->camera);
        goto failed;
    }

    snprintf(path, sizeof path, "%s/cam%d_%04ld.%s", opts->out_dir, job->camera, job->index,
             extension(opts->format));
    switch (opts->format) {
    case CAPTURE_PNG:
        nv12_to_rgb(nv12, opts->width, opts->height, w->scratch);
        result = write_png(path, w->scratch, opts->width, opts->height);
        break;
    case CAPTURE_JPEG:
        result = write_jpeg(w->jpeg, path, nv12, opts->width, opts->height, opts->quality, w->scratch);
        break;
    default:
        result = write_raw(path, nv12, (size_t)job->frame.size);
        break;
    }
    if (result != 0 || stat(path, &st) != 0) goto failed;
    return (long)st.st_size;
failed:
    fprintf(stderr, PROGRAM ": cannot write %s: %s\n", path, errno != 0 ? strerror(errno) : "write failed");
    return -1;
}

void frame_writer_skip(struct frame_writer *w, const struct frame_job *job) {
    if (w->config->opts->format == CAPTURE_Y4M) y4m_skip(w->config->y4m[job->slot], job->index);
}
