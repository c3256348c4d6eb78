// OID interface: the query and set handlers and the supported list.
#ifndef MIREL_DRIVER_OID_OID_H
#define MIREL_DRIVER_OID_OID_H

#include "driver/mirelnd.h"

#define SUPPORTED_OID_COUNT 135
extern const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT];

// Private OIDs: configuration and status
#define OID_PRIV_NETWORK_MODE 0xFFFFFFFEu
#define OID_PRIV_ESSID 0xFFFFFFFDu
#define OID_PRIV_CHANNEL 0xFFFFFFFCu
#define OID_PRIV_OWN_SSID 0xFFFFFFFBu
#define OID_PRIV_AP_DENSITY 0xFFFFFFF9u
#define OID_PRIV_PS_MODE 0xFFFFFFF7u
#define OID_PRIV_STATION_NAME 0xFFFFFFF2u
#define OID_PRIV_MEDIUM_RESERVATION 0xFFFFFFEDu
#define OID_PRIV_TRANSMIT_RATE 0xFFFFFFECu
#define OID_PRIV_SPARE_BYTE 0xFFFFFFEBu
#define OID_PRIV_CHANNEL_MASK 0xFFFFFFD5u
#define OID_PRIV_RECORD_FD11 0xFFFFFFD4u
#define OID_PRIV_RECORD_FD40 0xFFFFFFBFu
#define OID_PRIV_CURRENT_SSID 0xFFFFFFBEu
#define OID_PRIV_BSSID_TEXT 0xFFFFFFBDu
#define OID_PRIV_LINK_QUALITY 0xFFFFFFBCu
#define OID_PRIV_RATE 0xFFFFFFBBu
#define OID_PRIV_CURRENT_CHANNEL 0xFFFFFFAEu
#define OID_PRIV_PS_STATE 0xFFFFFFACu
#define OID_PRIV_INFO_F100 0xFFFFFFA8u
#define OID_PRIV_SCAN_RESULTS 0xFFFFFFA7u
#define OID_PRIV_LINK_STATE 0xFFFFFFA6u
#define OID_PRIV_RESTART 0xFFFFFF9Fu
#define OID_PRIV_DEFAULT_KEY_ID 0xFFFFFF7Fu
#define OID_PRIV_WEP_KEY0 0xFFFFFF7Eu
#define OID_PRIV_WEP_KEY1 0xFFFFFF7Du
#define OID_PRIV_WEP_KEY2 0xFFFFFF7Cu
#define OID_PRIV_WEP_KEY3 0xFFFFFF7Bu
#define OID_PRIV_WEP_REQ 0xFFFFFF7Au
#define OID_PRIV_DRIVER_VERSION 0xFFFFFF6Fu
#define OID_PRIV_IDENTITY_FD02 0xFFFFFF6Eu
#define OID_PRIV_IDENTITY_FD20 0xFFFFFF6Du
#define OID_PRIV_SURVEY_START 0xFFFFFF58u
#define OID_PRIV_SURVEY_STOP 0xFFFFFF57u
#define OID_PRIV_NULL 0xFFFFFF56u
#define OID_PRIV_COUNTERS 0xFFFFFF55u
#define OID_PRIV_WINXP 0xFFFFFF3Cu
// Private OIDs: maintenance
#define OID_PRIV_MONITOR_ON 0xFFFFFF6Bu
#define OID_PRIV_MONITOR_OFF 0xFFFFFF6Au
#define OID_PRIV_MEMORY_READ 0xFFFFFF68u
#define OID_PRIV_DOWNLOAD_PARAMS 0xFFFFFF67u
#define OID_PRIV_DOWNLOAD_DATA 0xFFFFFF66u
#define OID_PRIV_DOWNLOAD_STATUS 0xFFFFFF65u
#define OID_PRIV_DOWNLOAD_REPEAT 0xFFFFFF64u
#define OID_PRIV_INDIRECT_READ 0xFFFFFF63u
#define OID_PRIV_INDIRECT_WRITE 0xFFFFFF62u
#define OID_PRIV_DOWNLOAD_START 0xFFFFFF5Bu
#define OID_PRIV_DOWNLOAD_FINISH 0xFFFFFF5Au
#define OID_PRIV_VENDOR_INFO 0xFFFFFF59u
#define OID_PRIV_VENDOR_SEND 0xFFFFFF50u
#define OID_PRIV_MONITOR_FILTER 0xFFFFFF3Fu
#define OID_PRIV_USER_COMMAND 0xFFFFFF2Fu

// Scratch area for composed answers; no answer built there is longer.
#define OID_SCRATCH_SIZE 256

// The answer of a query: staged in the request's result value or scratch
// area, or pointing straight into the Adapter.
typedef struct _OID_ANSWER {
    ULONG Value;
    const VOID* Source;
    ULONG Length;
    UCHAR Scratch[OID_SCRATCH_SIZE];
} OID_ANSWER;

// The branches of a request. A query branch leaves its answer staged and
// returns NDIS_STATUS_SUCCESS, or returns the status that ends the request
// (NDIS_STATUS_INVALID_OID when it has no branch for Oid).
NDIS_STATUS PrivateQueryBranch(PADAPTER Adapter, NDIS_OID Oid, OID_ANSWER* Answer);
// Stages Length bytes (zeros when Bytes is NULL) in the scratch area as the answer.
VOID StageAnswer(OID_ANSWER* Answer, const VOID* Bytes, ULONG Length);

// A set request as the branches see it.
typedef struct _OID_SET {
    const UCHAR* Buffer;
    ULONG Length;
    PULONG BytesRead;
    PULONG BytesNeeded;
} OID_SET;

// Returns the status of the request; a branch that refuses writes the counts
// its row names. NDIS_STATUS_SUCCESS ends at the common exit.
NDIS_STATUS PrivateSetBranch(PADAPTER Adapter, NDIS_OID Oid, OID_SET* Request);
NDIS_STATUS RefuseSet(OID_SET* Request, NDIS_STATUS Status, ULONG Read, ULONG Needed);
// A set that supplies fewer bytes than its row reads is refused with
// NDIS_STATUS_INVALID_LENGTH and the size it needs.
BOOLEAN SetTooShort(OID_SET* Request, ULONG Needed, NDIS_STATUS* Status);
ULONG SetUlong(const OID_SET* Request);

#endif  // MIREL_DRIVER_OID_OID_H
