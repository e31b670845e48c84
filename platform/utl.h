/* Process and file utility library (stand-in, a real implementation).
 *
 * Programs are started with fork/exec and an explicit argument vector, never through a
 * shell and without a PATH search. The program starts with default signal dispositions,
 * no blocked signals and only descriptors 0, 1 and 2 of the caller. Paths are used as
 * given: the caller resolves them (see paths.hpp). Failures are logged; no C++ exception
 * leaves these functions.
 */
#ifndef VELMER_PLATFORM_UTL_H
#define VELMER_PLATFORM_UTL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Every program runs in a process group of its own. One that is waited for (utl_va_run,
 * utl_execve) runs for at most UTL_TOOL_TIMEOUT_SECONDS: still running then, its group
 * gets SIGTERM, so that it can tidy up, and UTL_TOOL_GRACE_SECONDS later SIGKILL, which
 * also ends whatever of the group is left; this is logged at level 1. Its result is the
 * wait status of a program killed by SIGKILL (a failure), whatever it did on SIGTERM.
 * A hung tool thus holds its caller for a bounded time, never for good. A program started
 * in the background holds no one and may take as long as its work needs. */
enum { UTL_TOOL_TIMEOUT_SECONDS = 10, UTL_TOOL_GRACE_SECONDS = 2 };

/* Runs `program` with the following arguments (ended by a null pointer) and waits for it.
 * Returns the wait status: 0 on success; otherwise (status >> 8) is the exit code.
 * A program that cannot be started yields exit code 127; one killed by a signal yields
 * the raw wait status; a failure to fork or wait yields -1. */
int utl_va_run(const char* program, ...);

/* Starts `program` with the following arguments (ended by a null pointer) without waiting.
 * Returns 0 when the program was started (exec succeeded), non-zero otherwise. The child
 * is reaped by a short-lived waiter thread, so no zombie is left behind. */
int utl_va_run_background(const char* program, ...);

/* Runs argv[0] with the argument vector `argv` and the environment `envp` (both
 * null-terminated) and waits for it. The three leading pointers are reserved (pass null).
 * Returns 0 when the program exited with status 0, otherwise its wait status (or -1). */
int utl_execve(const void* reserved1, const void* reserved2, const void* reserved3, char* const argv[],
               char* const envp[]);

/* Copies every child of `sourceDir` into `destinationDir` recursively, overwriting files
 * that exist. `overwrite` is accepted for compatibility (the copy always overwrites);
 * `reserved` must be null. `destinationDir` is created when missing. Directories merge
 * into existing directories; anything else replaces what stands at its name (a link there
 * is replaced, never written through). Symbolic links are copied as links, file and
 * directory modes are kept. Returns 0 when every child was copied; otherwise the copy goes
 * on with the other children and returns non-zero. */
int utl_cp_children_force_recursive(const char* sourceDir, const char* destinationDir, int overwrite,
                                    const void* reserved);

/* Removes the children of `dir` whose name contains `pattern` (a plain substring, case
 * sensitive; null or "" matches every child), each with everything below it. `flags` is
 * accepted for compatibility. Returns 0 when every matching child was removed (also when
 * nothing matched, or `dir` does not exist); non-zero when `dir` cannot be read or a
 * removal failed. */
int utl_rm_children_force_recursive(const char* dir, int flags, const char* pattern);

/* Lists the tree below `dir` into the trace log, one line per entry ("<path> <size>", the
 * size as lstat gives it; links are not followed), at trace level 4 with `mask` as the
 * trace mask. `detail` 0 lists names only. Nothing is walked when level 4 is not traced. */
void utl_ls_recursive_to_log_with_level(unsigned int mask, int detail, const char* dir);

#ifdef __cplusplus
}
#endif

#endif
