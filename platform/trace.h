/* Controller logging library (stand-in).
 *
 * trace_printf(level, mask, format, ...) writes one line per call to standard error
 * (journald collects it when the daemon runs under systemd):
 *
 *     HH:MM:SS.uuuuuu L<level>/M<mask> <formatted text>
 *
 * Trailing newlines of the format are folded into the one line ending. Lines whose
 * level is above the threshold are dropped before any formatting, so disabled trace
 * costs one relaxed atomic load. Levels: 1 error, 2 warning, 4 trace, 5 detail,
 * 9 destructor trace. The mask is printed, never filtered on.
 *
 * When standard error is the journal (JOURNAL_STREAM names it), each line starts with
 * the priority journald reads: <3> err for level 1, <4> warning for 2, <5> notice for 3,
 * <6> info for 4, <7> debug for 5 and above. The level-1 lines known to report normal
 * operation get <6> info, and those known to refuse a client's request <4> warning, so
 * that err is left to what needs an operator's attention.
 */
#ifndef VELMER_PLATFORM_TRACE_H
#define VELMER_PLATFORM_TRACE_H

#ifdef __cplusplus
extern "C" {
#endif

void trace_printf(int level, unsigned int mask, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* Lines with level <= threshold are written. The default threshold is 2. */
void trace_set_threshold(int level);
int trace_get_threshold(void);

#ifdef __cplusplus
}
#endif

#endif
