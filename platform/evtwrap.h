/* Event-log wrapper library (stand-in).
 *
 * EVTWRAPSubmitEvent appends one JSON object per line to the event file
 * (paths::kEventLogFile, under the sandbox root):
 *
 *   {"time":1764945120,"messageId":"JCP027","codes":[4,5,3],"args":["JID_176494512012"],"text":null}
 *
 * "args" is read back out of the TLV list: the value of its type-6 entry is a
 * message-arguments buffer as built by EVTWRAPBuildMsgArgsBuffer. "text" is the text
 * argument, or null.
 *
 * Message-arguments buffer layout: one byte with the argument count (at most 255), then
 * each argument as a NUL-terminated string, back to back.
 */
#ifndef VELMER_PLATFORM_EVTWRAP_H
#define VELMER_PLATFORM_EVTWRAP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct EVTWRAPTLVList EVTWRAPTLVList;

enum { EVTWRAP_TLV_MSG_ARGS = 6 };

/* Builds the message-arguments buffer from `count` strings. *length is the capacity of
 * `buffer` on entry and the number of bytes used on return. 0 on success; non-zero when
 * an argument is null, count is above 255, or the buffer is too small or would exceed
 * 65535 bytes (the largest value a TLV entry can carry). */
int EVTWRAPBuildMsgArgsBuffer(const char* const* args, int count, char* buffer, uint32_t* length);

/* Parses a message-arguments buffer of `length` bytes back into strings. Returns the
 * number of arguments, or -1 when the buffer is malformed. `out` receives at most
 * `maxArgs` pointers into `buffer`. */
int EVTWRAPParseMsgArgsBuffer(const char* buffer, uint32_t length, const char** out, int maxArgs);

/* A TLV list holds copies of its entries, so the values may be released once added.
 * Different lists may be used from different threads; one list from one thread at a time.
 * EVTWRAPSubmitEvent reads the first entry of type EVTWRAP_TLV_MSG_ARGS and refuses the
 * event (non-zero, nothing written) when that entry is not a well-formed buffer. */
int EVTWRAPCreateTLVList(EVTWRAPTLVList** list);
int EVTWRAPAddTLVToList(uint16_t type, uint16_t length, const void* value, EVTWRAPTLVList* list);
void EVTWRAPFreeTLVList(EVTWRAPTLVList* list);

/* Writes one event. `reserved` must be null; `text` and `list` may be null.
 * Returns 0 when the event was written. */
uint16_t EVTWRAPSubmitEvent(uint16_t code1, uint16_t code2, uint16_t code3, const char* messageId,
                            const void* reserved, const char* text, const EVTWRAPTLVList* list);

#ifdef __cplusplus
}
#endif

#endif
