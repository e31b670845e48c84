/* Legacy job-store library (stand-in).
 *
 * Older controller firmware kept its jobs through this library. The daemon calls it
 * only while reading the legacy job-store file, to bring a job record written by a
 * still older release up to the current layout (a 144-byte fixed part followed by the
 * texts). Records of that older kind are not produced by any firmware this daemon
 * meets, so the stand-in reports every record as current:
 *
 *   JQLEGACY_GetLowestOffset answers 0 ("the payload size stands in for it"), and
 *   JQLEGACY_ConvertJobStructFromPreviousRelease leaves the record as it is and answers 0.
 */
#ifndef VELMER_PLATFORM_JQLEGACY_H
#define VELMER_PLATFORM_JQLEGACY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* `offsetTable` points at byte 16 of a job record. Answers the lowest text offset of the
 * record's offset table, or 0 when the caller should use the payload size instead. */
int32_t JQLEGACY_GetLowestOffset(const uint8_t* offsetTable);

/* Rewrites `record` (`payloadSize` bytes followed by 36 spare zero bytes) in place into
 * the current job layout: 0 when the record is in that layout afterwards. */
int JQLEGACY_ConvertJobStructFromPreviousRelease(uint8_t* record, uint32_t payloadSize, int32_t lowestOffset);

#ifdef __cplusplus
}
#endif

#endif
