#include "frame_queue.h"

#include <stdlib.h>

int frame_queue_init(struct frame_queue *q, size_t capacity) {
    q->jobs = calloc(capacity, sizeof *q->jobs);
    if (q->jobs == NULL) return -1;
    q->capacity = capacity;
    q->head = q->count = 0;
    q->closed = 0;
    pthread_mutex_init(&q->mu, NULL);
    pthread_cond_init(&q->not_empty, NULL);
    pthread_cond_init(&q->not_full, NULL);
    return 0;
}

void frame_queue_destroy(struct frame_queue *q) {
    pthread_cond_destroy(&q->not_full);
    pthread_cond_destroy(&q->not_empty);
    pthread_mutex_destroy(&q->mu);
    free(q->jobs);
}

int frame_queue_push(struct frame_queue *q, const struct frame_job *job) {
    pthread_mutex_lock(&q->mu);
    while (q->count == q->capacity && !q->closed) pthread_cond_wait(&q->not_full, &q->mu);
    if (q->closed) {
        pthread_mutex_unlock(&q->mu);
        return -1;
    }
    q->jobs[(q->head + q->count) % q->capacity] = *job;
    ++q->count;
    pthread_cond_signal(&q->not_empty);
    pthread_mutex_unlock(&q->mu);
    return 0;
}

int frame_queue_pop(struct frame_queue *q, struct frame_job *job) {
    pthread_mutex_lock(&q->mu);
    while (q->count == 0 && !q->closed) pthread_cond_wait(&q->not_empty, &q->mu);
    if (q->count == 0) {
        pthread_mutex_unlock(&q->mu);
        return -1;
    }
    *job = q->jobs[q->head];
    q->head = (q->head + 1) % q->capacity;
    --q->count;
    pthread_cond_signal(&q->not_full);
    pthread_mutex_unlock(&q->mu);
    return 0;
}

void frame_queue_close(struct frame_queue *q) {
    pthread_mutex_lock(&q->mu);
    q->closed = 1;
    pthread_cond_broadcast(&q->not_empty);
    pthread_cond_broadcast(&q->not_full);
    pthread_mutex_unlock(&q->mu);
}
