// Job events for the controller's event log, and message texts by message ID.
//
// A thin layer over the event-log wrapper (evtwrap.h) and the message registry
// (msgreg.h). Every function may be called from any thread and keeps no state.
#pragma once

#include <cstdint>

// Submits an event with three classification codes and `argCount` string arguments
// (variadic, const char*; a null argument ends the list early). 0 when submitted,
// 37 when the argument buffer or the TLV list could not be built, otherwise the
// event library's status.
uint16_t JC_submitQVEvents_withArgs(uint16_t code1, uint16_t code2, uint16_t code3, const char* messageId,
                                    int argCount, ...);

// Submits an event with codes (4, 0, 0), the text "N/A" and the string arguments that
// follow, ended by a null pointer. Nothing for a null message ID.
void submitUpdateEventToQVL(const char* messageId, ...);

// Submits an event without arguments, codes (4, 0, 0), text "N/A".
void AddEventsToQVL(const char* messageId);

// Looks the message text up. 0 with *text a heap string (release with free); 64 for a
// null message ID; 63 for a null `text`; 12 when the registry has no content or memory
// runs out (*text is then null). `args` is a message-arguments buffer or null.
uint16_t JCGetMessageFromMsgIDAlloc(const char* messageId, char** text, const char* args);

// As above, but falls back to "JCP003", "PR21", "RMX038" (without arguments) and finally
// to "Generic job failed.": 0 with a text in every case except 64, 63 and out of memory (12).
uint16_t JCGetMessageFromMsgIDFallbackAlloc(const char* messageId, char** text, const char* args);

// The formatted text of `messageId` with the string arguments that follow (ended by a
// null pointer), as a heap string (release with free), or null.
char* JCGetMessageTextWithArgs(const char* messageId, ...);
