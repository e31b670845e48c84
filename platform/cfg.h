/* Controller configuration library (stand-in).
 *
 * Attributes live in the JSON object paths::kAttributesFile (under the sandbox root),
 * attribute name -> integer, e.g. {"System.Embedded.1#Job.1#JobTimeout": 30}. The file
 * is read at every call, so a test or an operator can change an attribute at any time.
 */
#ifndef VELMER_PLATFORM_CFG_H
#define VELMER_PLATFORM_CFG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with *value set when the attribute was read; non-zero when the file or the attribute
 * is missing, or the value is not an integer. */
int CfgGetAttributeInt(const char* name, int* value);

/* Cancels the staged attributes of the given FQDD. Logs the request and answers 0. */
uint16_t CfgDACancelRMXAttributes(const char* fqdd);

#ifdef __cplusplus
}
#endif

#endif
