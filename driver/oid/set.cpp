// Set requests. The set branches are not built yet: every OID is answered as
// one without a set branch.
#include "driver/oid/oid.h"

NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                            PVOID InformationBuffer, ULONG InformationBufferLength,
                                            PULONG BytesRead, PULONG BytesNeeded) {
    (void)MiniportAdapterContext;
    (void)Oid;
    (void)InformationBuffer;
    (void)InformationBufferLength;
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}
