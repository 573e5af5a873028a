/*
 * gm_time.h - the library's clock and time texts: current time (accelerated
 * in simulation runs, see os_time.h), fixed-width time texts in fifteen
 * layouts, date arithmetic on YYYYMMDD texts, elapsed-time texts and the
 * time-window test.
 *
 * Time counts are time_t seconds since the epoch; they are local time unless
 * the name says gmt. Every layout is fixed-width with zero-padded digits; an
 * out buffer must hold the layout's characters plus the terminator (see
 * GM_TIME_FMT_typ in pexapi.h and GM_TIME_fmt_width).
 *
 * Text-to-count conversions pass a process-wide daylight-saving flag to
 * mktime: the tm_isdst of the last local breakdown made by
 * GM_TIME_bin_get_timer (0 after GM_TIME_bin_get_gmt_timer, 0 at start).
 * All state is process-wide and unguarded: call from one thread at a time.
 */
#ifndef BE_HADOOP_COMMON_GM_TIME_H
#define BE_HADOOP_COMMON_GM_TIME_H

#include <time.h>

#include "pexapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Characters a layout produces (without the terminator); 0 for a value
 * outside 0-14. Layout 2 gives its width in the C locale (11). */
int GM_TIME_fmt_width(GM_TIME_FMT_typ fmt);

/* ---- formatting ---- */

/* Local time of t in layout fmt (0-9) into out. A layout outside 0-9 gives
 * an empty text. out holds GM_TIME_fmt_width(fmt) + 1 characters. */
void GM_TIME_fmt_to_ascii(GM_TIME_FMT_typ fmt, time_t t, char *out);

/* As GM_TIME_fmt_to_ascii, in UTC. */
void GM_TIME_fmt_gmt_to_ascii(GM_TIME_FMT_typ fmt, time_t t, char *out);

/* Local time of t with milliseconds ms in layout fmt (0-14). Layouts 10-14
 * append the milliseconds (layout 10 as hundredths); ms above 999 counts as
 * 999. A layout outside 0-14 gives an empty text. */
void GM_TIME_fmt_to_ascii2(GM_TIME_FMT_typ fmt, time_t t, unsigned short ms, char *out);

/* The current (accelerated) time with milliseconds in layout fmt (0-14).
 * The log stamps every line with GM_TIME_FMT_MMDD_HH_MM_SS_CCC (17
 * characters, out holds 18): no file access unless acceleration is active,
 * and it never writes a log line itself. */
void GM_TIME_fmt_get_time2(GM_TIME_FMT_typ fmt, char *out);

/* The current (accelerated) local time in layout fmt (0-9); records the
 * daylight-saving flag like GM_TIME_bin_get_timer. */
void GM_TIME_fmt_get_time(GM_TIME_FMT_typ fmt, char *out);

/* The current (accelerated) time in UTC in layout fmt (0-9). */
void GM_TIME_fmt_get_gmt_time(GM_TIME_FMT_typ fmt, char *out);

/* The time count 0 as local time in layout fmt (0-9). */
void GM_TIME_fmt_get_time_zero(GM_TIME_FMT_typ fmt, char *out);

/* ---- clock readings ---- */

/* Current time, accelerated; records the daylight-saving flag of its local
 * breakdown. */
void GM_TIME_bin_get_timer(time_t *t);

/* Current time, accelerated; sets the daylight-saving flag to 0. */
void GM_TIME_bin_get_gmt_timer(time_t *t);

/* ---- parsing ---- */

/* Time count of the first 14 characters of a YYYYMMDDHHMMSS text (fields
 * read with atoi, missing characters count as absent digits), with the
 * daylight-saving flag; out-of-range fields are normalised by mktime, never
 * refused. */
void GM_TIME_fmt_to_bin(const char *text, time_t *t);

/* Time count of the text read as "%4d%2d%2d%2d%2d%2d" with the
 * daylight-saving flag 0; fields not present count as 0. */
time_t GM_TIME_fmt_YYYYMMDDHHMMSS_to_seconds(const char *text);

/* Seconds of a four-digit (HHMM) or six-digit (HHMMSS) time text, from the
 * digit characters without validation; a character beyond the end of a
 * shorter text counts as '0'. */
long GM_TIME_fmt_HHMM_to_seconds(const char *text);
long GM_TIME_fmt_HHMMSS_to_seconds(const char *text);

/* ---- differences and elapsed texts ---- */

/* |t1 - t2| in whole seconds. */
void GM_TIME_bin_get_timer_diff(time_t t1, time_t t2, long *seconds);

/* |t - now| in whole seconds. */
void GM_TIME_bin_get_timer_elapsed(time_t t, long *seconds);

/* Time since t as "%d days %d hours %d minutes %d seconds"; out holds at
 * least 64 characters. */
void GM_TIME_bin_get_timer_string(time_t t, char *out);

/* |text1 - text2| of two YYYYMMDDHHMMSS texts in the layout of
 * GM_TIME_bin_get_timer_string; out holds at least 64 characters. */
void GM_TIME_get_delta_string(const char *text1, const char *text2, char *out);

/* Local breakdown of t: month 1-12, four-digit year, week day 0 = Sunday,
 * year day from 0. Any out pointer may be NULL. */
void GM_TIME_bin_get_timer_elements(time_t t, int *sec, int *min, int *hour, int *day,
                                    int *month, int *year, int *week_day, int *year_day);

/* Whole days since the epoch (t / 86400). */
void GM_TIME_bin_get_timer_date(time_t t, long *days);

/* Seconds since the local midnight of t's day. */
long GM_TIME_bin_timer_to_seconds(time_t t);

/* new_text = old_text + seconds, both YYYYMMDDHHMMSS (new_text holds 15
 * characters; DATETIME_D_typ serves). Returns new_text. */
char *GM_TIME_add_delta(const char *old_text, char *new_text, long seconds);

/* Now plus minutes (ignored when the resulting count is not positive) as
 * the "%02d%02d" hour and minute of the day. out holds 5. Returns out. */
char *GM_TIME_get_fmt_HHMM_delta(char *out, int minutes);

/* ---- dates (YYYYMMDD texts) ---- */

/* "JAN" ... "DEC" for the month of date; three blanks for a month outside
 * 1-12. out holds 4. Returns out. */
char *GM_TIME_fmt_get_month_name(const char *date, char *out);

/* "SUN" ... "SAT"; an empty text for a date GM_TIME_fmt_get_day_of_week
 * refuses. out holds 4. Returns out. */
char *GM_TIME_fmt_get_day_name(const char *date, char *out);

/* *day = 1 (Sunday) ... 7 (Saturday) and KX_SUCCESS; *day = -1 and KX_FAIL
 * when the date does not exist (normalisation would change it) or lies
 * before the epoch. */
KX_RC GM_TIME_fmt_get_day_of_week(const char *date, int *day);

/* Day of the year, 1 for 1 January. */
int GM_TIME_fmt_date_to_julday(const char *date);

/* Whole days from the epoch to the local midnight of date, plus 1. */
long GM_TIME_fmt_date_to_int(const char *date);

/* Difference in days, date1 - date2. */
long GM_TIME_fmt_compare_dates(const char *date1, const char *date2);

/* Compares a YYYYMMDDHHMMSS text with now: GM_TIME_GT (later than now),
 * GM_TIME_EQ or GM_TIME_LT; *gap = |difference| in seconds (gap may be
 * NULL). */
GM_TIME_CMP_typ GM_TIME_fmt_compare(const char *text, long *gap);

/* Characters 1-4, 5-6 and 7-8 of a YYYYMMDD text as integers. */
int GM_TIME_fmt_get_year_number(const char *date);
int GM_TIME_fmt_get_month_number(const char *date);
int GM_TIME_fmt_get_day_number(const char *date);

/* y + 1900. */
int gm_time_int_year_to_full_year(int y);

/* Moves the YYYYMMDD date at the start of the text by days, in place,
 * computing from noon of the date; characters after the eighth stay. A text
 * shorter than 8 characters, a NULL text or days 0 leave it unchanged.
 * Traces "GM_TIME_fmt_calcdate: ODATE:%s, delta: %d" at level 2. */
void GM_TIME_fmt_calcdate(char *date, int days);

/* ---- windows ---- */

/* Time-window test of the current HHMM against from and until (HHMM texts;
 * blank or NULL means not given). A blank from or until becomes the day
 * start (the number after the first character of day_start); an until
 * beginning with '>' too, and then a job_date before curr_date (numbers)
 * passes at once. A window whose from is not below until runs over
 * midnight. KX_SUCCESS inside, KX_FAIL outside. */
KX_RC GM_TIME_window_check(const char *from, const char *until, const char *job_date,
                           const char *curr_date, const char *day_start);

/* Compares now (HHMM) with a signed HHMM text ("+1200", "-0830"): with a
 * '-' anywhere in it, 1 when now is at or after the time, else 0; otherwise
 * -1 when now is before the time, else 0. */
int GM_TIME_daytime_delta(const char *daytime);

#ifdef __cplusplus
}
#endif

#endif /* BE_HADOOP_COMMON_GM_TIME_H */
