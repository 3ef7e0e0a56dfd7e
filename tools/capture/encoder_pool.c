#define _GNU_SOURCE
#include "encoder_pool.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "boardcam-mt.h"

struct encoder {
    struct encoder_pool *pool;
    struct frame_writer *writer;
};

static void *encode(void *arg) {
    struct encoder_pool *pool = ((struct encoder *)arg)->pool;
    struct frame_writer *writer = ((struct encoder *)arg)->writer;
    struct frame_job job;
    free(arg);
    /* The reader must be on time for every frame; when the cores are busy
     * encoding, it goes first. Failing to lower the priority only costs that. */
    (void)setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 5);
    while (frame_queue_pop(pool->queue, &job) == 0) {
        long written = -1;
        if (encoder_pool_failed(pool)) {
            frame_writer_skip(writer, &job);
        } else {
            written = frame_writer_write(writer, &job);
        }
        /* The frame is ours: release it whether or not it was written. */
        boardcam_mt_release_frame(job.frame.data);

        pthread_mutex_lock(&pool->mu);
        if (written >= 0) {
            ++pool->written[job.slot];
            pool->bytes += written;
        } else if (pool->failures == 0) {
            ++pool->failures;
        }
        pthread_mutex_unlock(&pool->mu);
    }
    return NULL;
}

int encoder_pool_start(struct encoder_pool *pool, struct frame_queue *queue,
                       const struct frame_writer_config *config, int jobs) {
    int i;
    pool->queue = queue;
    pool->count = 0;
    pool->written[0] = pool->written[1] = 0;
    pool->bytes = 0;
    pool->failures = 0;
    pthread_mutex_init(&pool->mu, NULL);
    pool->threads = calloc((size_t)jobs, sizeof *pool->threads);
    pool->writers = calloc((size_t)jobs, sizeof *pool->writers);
    if (pool->threads == NULL || pool->writers == NULL) return -1;
    for (i = 0; i < jobs; ++i) {
        struct encoder *encoder = malloc(sizeof *encoder);
        if (encoder == NULL || frame_writer_init(&pool->writers[i], config) != 0) {
            free(encoder);
            break;
        }
        encoder->pool = pool;
        encoder->writer = &pool->writers[i];
        if (pthread_create(&pool->threads[i], NULL, encode, encoder) != 0) {
            frame_writer_destroy(&pool->writers[i]);
            free(encoder);
            break;
        }
        ++pool->count;
    }
    return pool->count > 0 ? 0 : -1;
}

void encoder_pool_join(struct encoder_pool *pool) {
    int i;
    for (i = 0; i < pool->count; ++i) {
        pthread_join(pool->threads[i], NULL);
        frame_writer_destroy(&pool->writers[i]);
    }
    free(pool->threads);
    free(pool->writers);
    pool->count = 0;
    pthread_mutex_destroy(&pool->mu);
}

long encoder_pool_written(struct encoder_pool *pool, int slot) {
    long written;
    pthread_mutex_lock(&pool->mu);
    written = pool->written[slot];
    pthread_mutex_unlock(&pool->mu);
    return written;
}

int encoder_pool_failed(struct encoder_pool *pool) {
    int failed;
    pthread_mutex_lock(&pool->mu);
    failed = pool->failures != 0;
    pthread_mutex_unlock(&pool->mu);
    return failed;
}
