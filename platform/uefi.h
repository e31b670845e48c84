/* UEFI-access library (stand-in).
 *
 * The real library reaches the host firmware's protocols from the controller. Here one
 * protocol exists: the DCS protocol, which manages the host firmware's configuration
 * staging. Its entry point does nothing to any firmware; it appends each command it
 * receives as one JSON line to paths::kDcsLogFile (under the sandbox root):
 *
 *   {"command":3221225473}                            sync
 *   {"command":3221225474,"jobId":"JID_000000000001"}  cancel, the job ID as decoded
 *                                                     from the request's wide string
 *
 * and answers status 0. Every function may be called from any thread.
 */
#ifndef VELMER_PLATFORM_UEFI_H
#define VELMER_PLATFORM_UEFI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The standard EFI GUID layout: Data1 to Data3 little-endian, then eight bytes. */
typedef struct EFI_GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} EFI_GUID;

/* 991B552A-2814-440E-89B9-F754AF4EA5BC */
#define EFI_DCS_PROTOCOL_GUID \
  { 0x991B552A, 0x2814, 0x440E, { 0x89, 0xB9, 0xF7, 0x54, 0xAF, 0x4E, 0xA5, 0xBC } }

#define EFI_DCS_MGMT_CMD_SYNC 0xC0000001u
#define EFI_DCS_MGMT_CMD_CANCEL 0xC0000002u

/* Wide strings of the DCS protocol: one 32-bit unit per character, ended by a 0 unit. */
typedef uint32_t EFI_DCS_CHAR;

/* The request record of both commands: packed, 40 bytes, little-endian. Addresses are
 * 64-bit whatever the caller's pointer size. */
typedef struct __attribute__((packed)) EFI_DCS_REQUEST {
  uint32_t Revision;         /* 0: always 2 */
  uint8_t Reserved1[12];     /* 4: zero */
  uint32_t Operation;        /* 16: 4 for a sync, 1024 for a cancel */
  uint64_t ConfigSetName;    /* 20: address of the wide string "All" */
  uint64_t JobId;            /* 28: cancel: address of the job ID as a wide string; sync: 0 */
  uint32_t Reserved2;        /* 36: zero */
} EFI_DCS_REQUEST;

/* The response area: 16 bytes, zero-filled by the caller, not read afterwards. */
typedef struct EFI_DCS_RESPONSE {
  uint8_t Bytes[16];
} EFI_DCS_RESPONSE;

typedef struct EFI_DCS_PROTOCOL EFI_DCS_PROTOCOL;

/* Runs `command` with `request`; 0 is success. */
typedef uint64_t (*EFI_DCS_ENTRY_POINT)(EFI_DCS_PROTOCOL* self, uint32_t command, EFI_DCS_REQUEST* request,
                                        EFI_DCS_RESPONSE* response);

/* A protocol instance: the entry point is its first member. Instances belong to the
 * library and live as long as the process. */
struct EFI_DCS_PROTOCOL {
  EFI_DCS_ENTRY_POINT Entry;
};

/* Prepares the library; may be called any number of times. Returns 0. */
int initLinuxEfiLib(void);

/* Looks up the instances of the protocol `guid`. Returns 0 when there is at least one:
 * then *instances points to an array of *count instance pointers, allocated with malloc
 * (the caller releases it with free). Non-zero, with *instances null, for an unknown
 * GUID, a null argument or an allocation failure. */
int getProtocolInstanceByGuid(const EFI_GUID* guid, size_t* count, void*** instances);

#ifdef __cplusplus
}
#endif

#endif
