/*
 * os_time.h - the platform clock: wall clock with milliseconds, clock
 * acceleration for simulation runs, sleeping and the interval timer.
 *
 * Acceleration. It is active when the environment variable
 * "WEXAGENT_TIME_ACC" is set (to any value); the decision is taken at the
 * first clock reading and kept for the life of the process. While active and
 * while "/tmp/WEXAGENT_FACTOR" holds a factor, every reading becomes
 *   factor * (real - start) + base
 * where start is the real time the simulation began ("/tmp/WEXAGENT_START_SYS",
 * written on first use when absent, shared by every agent process on the
 * host) and base the simulated time of that start ("/tmp/WEXAGENT_ODAT", else
 * start). Each file holds one word of at most 19 characters; the two time
 * files hold YYYYMMDDHHMMSS local time. The factor and base files are read on
 * every reading, so a change takes effect at once. Unreadable files never
 * fail a reading. The clock never writes log lines: the log stamps its lines
 * with it.
 */
#ifndef BE_HADOOP_COMMON_OS_TIME_H
#define BE_HADOOP_COMMON_OS_TIME_H

#include <time.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Wall clock with microsecond resolution: *t its seconds, *ms its
 * microseconds / 1000. Not accelerated. */
void OS_TIME_get_hr_time(time_t *t, int *ms);

/* The wall clock with milliseconds, the seconds accelerated. */
void OS_TIME_bin_get_timer2(time_t *t, unsigned short *ms);

/* Applies the acceleration to the real time count *t in place (no change
 * while inactive or without a factor file). */
void OS_TIME_acceleration(time_t *t);

/* Blocks the calling thread for seconds seconds when positive (resuming
 * after signals until the time has passed). Always KX_SUCCESS. */
KX_RC OS_TIME_sleep(long seconds);

/* Sleeps by waiting on an empty descriptor set. On error prints
 * "select - os_time_sleep_select" with the system's error text on standard
 * error and returns KX_FAIL; else KX_SUCCESS. */
KX_RC os_time_sleep_select(long seconds);

/* start_or_stop 0 starts the interval timer in *timer; non-zero stores the
 * wall time elapsed since the start (real_time) and the processor time of
 * the process (cpu_time), both in hundredths of a second. KX_FAIL for a
 * NULL record. */
KX_RC OS_TIME_timer(int start_or_stop, OS_TIME_TIMER_typ *timer);

/* First word (at most 19 characters; out holds 20) of the factor, simulated
 * date and start files. KX_FAIL when the file cannot be read or is empty;
 * the factor also when acceleration is inactive. */
KX_RC OS_TIME_get_factor(char *out);
KX_RC OS_TIME_get_odate(char *out);
KX_RC OS_TIME_get_sdate(char *out);

/* Replace the file's content with the word (a line of its own). KX_FAIL
 * when the file cannot be written or text is NULL. */
KX_RC OS_TIME_set_factor(const char *text);
KX_RC OS_TIME_set_odate(const char *text);
KX_RC OS_TIME_set_sdate(const char *text);

/* Remove the file. KX_FAIL when it cannot be removed (also when absent). */
KX_RC OS_TIME_delete_factor(void);
KX_RC OS_TIME_delete_odate(void);
KX_RC OS_TIME_delete_sdate(void);

/* hour * 10,000,000 + minute * 100,000 + second * 1000 + millisecond of the
 * current local wall time. */
long OS_TIME_creat_uniq(void);

#ifdef __cplusplus
}

namespace kx_common {

// OS_TIME_bin_get_timer2, with the microseconds within the millisecond too,
// for a caller that wants to know how long the millisecond still lasts.
void bin_get_timer_us(time_t *t, unsigned short *ms, int *us_in_ms);

// Test hook: keeps the acceleration files in dir (NULL: back to /tmp) and
// forgets the once-per-process decisions (activity, simulation start), so a
// test can run the acceleration without touching files other processes see.
void os_time_test_reset(const char *dir);

}  // namespace kx_common
#endif

#endif /* BE_HADOOP_COMMON_OS_TIME_H */
