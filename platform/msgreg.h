/* Message registry library (stand-in).
 *
 * Knows every message ID the job manager uses, with texts of our own in which "%1",
 * "%2", ... stand for the message arguments. When the file paths::kMessageRegistryFile
 * exists (under the sandbox root), its JSON object {"ID": "text", ...} replaces the
 * built-in table; this lets a system (or a test) ship a different registry. The file is
 * read at every call (lookups are rare, and no cache can go stale); a file that is not a
 * JSON object makes every lookup fail. Only the language "en" is known.
 */
#ifndef VELMER_PLATFORM_MSGREG_H
#define VELMER_PLATFORM_MSGREG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { MSGREG_CONTENT_SIZE = 5760, MSGREG_CONTENT_TEXT_OFFSET = 96 };

/* Fills the MSGREG_CONTENT_SIZE-byte record `content`; the formatted message text is the
 * NUL-terminated string at MSGREG_CONTENT_TEXT_OFFSET. `args` is a message-arguments
 * buffer (evtwrap.h) or null. 0 on success; non-zero for an unknown ID or language. */
int MsgRegGetContentByMsgID(const char* messageId, const char* language, const char* args, void* content);

/* Writes the formatted message text into `text` (capacity `capacity`, NUL-terminated,
 * cut to fit). 0 on success; non-zero for an unknown ID or language. */
int MsgRegGetMessageByMsgID(const char* messageId, const char* language, const char* args, char* text,
                            size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
