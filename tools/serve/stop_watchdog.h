/*
 * A stop that always ends. Once a stop signal came, the program has
 * STOP_WATCHDOG_MS to finish. If some part (usually a third-party thread
 * that does not finish) still holds it up then, and the cameras are already
 * closed and their frames released, the process ends at once with exit 0,
 * saying which part was stuck: under a service manager a hung stop would
 * only end in a kill, with nothing closed. Should the cameras themselves not
 * be closed by then, it waits for them.
 */
#ifndef SERVE_STOP_WATCHDOG_H
#define SERVE_STOP_WATCHDOG_H

#define STOP_WATCHDOG_MS 3000

/* Starts the watch; `started_us` is when the stop began (monotonic). */
void stop_watchdog_start(long long started_us);

/* What the stop is doing now, for the message should it hang there. The
 * text must be static. */
void stop_watchdog_stage(const char *stage);

/* Every camera is closed and every frame released: ending now is safe. */
void stop_watchdog_cameras_closed(void);

/* The stop ended by itself: the watch ends. */
void stop_watchdog_finish(void);

#endif
