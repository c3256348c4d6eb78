// OID interface: the query and set handlers and the supported list.
#ifndef MIREL_DRIVER_OID_OID_H
#define MIREL_DRIVER_OID_OID_H

#include "driver/mirelnd.h"

#define SUPPORTED_OID_COUNT 135
extern const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT];

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

#endif  // MIREL_DRIVER_OID_OID_H
