/* Function-broker client library (stand-in).
 *
 * The real library asks a privileged system service to run one of its remote functions
 * on the caller's behalf. Here nothing is run: each request is appended as one JSON line
 * to paths::kFuncBrokerLogFile (under the sandbox root),
 *
 *   {"function":"privhelperd_restart_DM","timeout":5000}
 *
 * and answers 0. Every function may be called from any thread; a client is used by one
 * thread at a time.
 */
#ifndef VELMER_PLATFORM_FUNCBROKER_H
#define VELMER_PLATFORM_FUNCBROKER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct funcbroker_client funcbroker_client;

/* The argument record of a remote function: 40 bytes, its meaning the function's own. */
typedef struct funcbroker_request {
  uint8_t bytes[40];
} funcbroker_request;

/* Connects the client `name`; `options` is passed through to the broker. Returns 0 with
 * *client set, non-zero with *client null for a null argument or no memory. */
int funcbroker_async_client_init(funcbroker_client** client, const char* name, int options);

/* Runs `function` with `request` and waits at most `timeoutMs` for it. 0 is success;
 * non-zero for a null argument or when the request could not be recorded. */
int funcbroker_sync_function_execute(funcbroker_client* client, const char* function,
                                     const funcbroker_request* request, int timeoutMs);

/* Releases a client from funcbroker_async_client_init; null is ignored. */
void funcbroker_cli_destroy(funcbroker_client* client);

#ifdef __cplusplus
}
#endif

#endif
