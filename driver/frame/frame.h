// Miniport frame: driver entry, registry configuration, adapter
// initialization, card restart and configuration push, link monitor, halt.
#ifndef MIREL_DRIVER_FRAME_FRAME_H
#define MIREL_DRIVER_FRAME_FRAME_H

#include "driver/mirelnd.h"

// --- registry configuration ---------------------------------------------------------

// How a keyword's value is stored in the Adapter.
#define KW_STORE_ULONG 0        // ULONG field, as read
#define KW_STORE_ULONG_LOW8 1   // ULONG field, low 8 bits
#define KW_STORE_USHORT 2       // USHORT field, low 16 bits
#define KW_STORE_UCHAR 3        // byte field, low 8 bits
#define KW_STORE_NAME 4         // 33-byte name and the length byte after it
#define KW_STORE_TEXT 5         // 128-byte NUL-terminated text
#define KW_STORE_KEYS 6         // DefaultKeys: key text parsed into WepKeys

typedef struct _REGISTRY_KEYWORD {
    NDIS_STRING Name;
    const char* Text;            // the same name in 8-bit characters
    NDIS_PARAMETER_TYPE Type;
    BOOLEAN Required;            // a missing required keyword fails initialization
    ULONG Default;               // numeric default
    const char* DefaultText;     // text default, or NULL when none
    USHORT FieldOffset;          // offset of the field in the Adapter
    UCHAR Store;                 // KW_STORE_*
    BOOLEAN NetworkAddressAfter; // the network address is read right after this keyword
} REGISTRY_KEYWORD;

#define REGISTRY_KEYWORD_COUNT 25
extern const REGISTRY_KEYWORD RegistryKeywords[REGISTRY_KEYWORD_COUNT];

#define DEFAULT_VENDOR_DESCRIPTION "VORTANE 11Mbps WirelessLAN"

NDIS_STATUS ReadRegistryConfiguration(PADAPTER Adapter, NDIS_HANDLE WrapperConfigurationContext);
VOID ParseDefaultKeys(PADAPTER Adapter, const NDIS_STRING* Text);
BOOLEAN HexPairToByte(UCHAR Low, UCHAR High, PUCHAR Destination);

// --- initialization, restart, link monitor ------------------------------------------------
NDIS_STATUS CardInitialize(PADAPTER Adapter);
USHORT CardApplyConfiguration(PADAPTER Adapter);
USHORT CardRestart(PADAPTER Adapter);
USHORT CardAllocateTxBuffers(PADAPTER Adapter);
USHORT CardEnterMonitorMode(PADAPTER Adapter);
USHORT CardLeaveMonitorMode(PADAPTER Adapter);
USHORT CardRestoreNetwork(PADAPTER Adapter);

#endif  // MIREL_DRIVER_FRAME_FRAME_H
