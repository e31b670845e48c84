/* Controller configuration library (stand-in).
 *
 * Attributes live in the JSON object paths::kAttributesFile (under the sandbox root),
 * attribute name -> integer, e.g. {"System.Embedded.1#Job.1#JobTimeout": 30}. The file
 * is looked at (stat) at every call and parsed again when it changed, so a test or an
 * operator can change an attribute at any time.
 */
#ifndef VELMER_PLATFORM_CFG_H
#define VELMER_PLATFORM_CFG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with *value set when the attribute was read; non-zero with *value untouched when the
 * file is missing or is not a JSON object, the attribute is missing, or its value is not a
 * JSON integer within the range of int (30.0, "30" and true are not integers). */
int CfgGetAttributeInt(const char* name, int* value);

/* Cancels the staged attributes of the given FQDD. Logs the request and answers 0
 * (non-zero only for a null FQDD). */
uint16_t CfgDACancelRMXAttributes(const char* fqdd);

#ifdef __cplusplus
}
#endif

#endif
