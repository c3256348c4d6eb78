// The NDIS 4.0 miniport interface as this driver uses it: types, status codes,
// object identifiers, the 802.11 structures it answers, the characteristics
// block and the library calls. Values are the ones NDIS publishes; layouts are
// checked below wherever the driver fills a structure someone else reads.
#ifndef MIREL_PLATFORM_NDIS_H
#define MIREL_PLATFORM_NDIS_H

#include "platform/ntypes.h"

typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef ULONG NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef ULONG NDIS_OID;
typedef ULONG NDIS_ERROR_CODE;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;

// A counted UTF-16 string constant: NDIS_STRING_CONST("IoBaseAddress").
#define NDIS_STRING_CONST(x) \
    {(USHORT)(sizeof(u"" x) - sizeof(WCHAR)), (USHORT)sizeof(u"" x), (PWSTR)(u"" x)}

// ---------------------------------------------------------------------------
// Status codes
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000u)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103u)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000Bu)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000Cu)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001u)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009Au)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBu)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004u)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005u)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009u)
#define NDIS_STATUS_ADAPTER_NOT_READY ((NDIS_STATUS)0xC0010011u)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014u)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015u)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016u)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017u)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019u)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001Eu)

// Error log codes
#define NDIS_ERROR_CODE_OUT_OF_RESOURCES ((NDIS_ERROR_CODE)0xC0001389u)
#define NDIS_ERROR_CODE_TIMEOUT ((NDIS_ERROR_CODE)0x8000138Fu)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138Cu)
#define NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS ((NDIS_ERROR_CODE)0xC0001394u)

// ---------------------------------------------------------------------------
// Enumerations, all 32 bits wide.
typedef ULONG NDIS_MEDIUM;
typedef NDIS_MEDIUM* PNDIS_MEDIUM;
#define NdisMedium802_3 ((NDIS_MEDIUM)0)
#define NdisMedium802_5 ((NDIS_MEDIUM)1)
#define NdisMediumFddi ((NDIS_MEDIUM)2)
#define NdisMediumWan ((NDIS_MEDIUM)3)
#define NdisMediumLocalTalk ((NDIS_MEDIUM)4)
#define NdisMediumDix ((NDIS_MEDIUM)5)
#define NdisMediumArcnetRaw ((NDIS_MEDIUM)6)
#define NdisMediumArcnet878_2 ((NDIS_MEDIUM)7)
#define NdisMediumAtm ((NDIS_MEDIUM)8)
#define NdisMediumWirelessWan ((NDIS_MEDIUM)9)

typedef ULONG NDIS_INTERFACE_TYPE;
#define NdisInterfaceInternal ((NDIS_INTERFACE_TYPE)0)
#define NdisInterfaceIsa ((NDIS_INTERFACE_TYPE)1)
#define NdisInterfacePcMcia ((NDIS_INTERFACE_TYPE)8)

typedef ULONG NDIS_INTERRUPT_MODE;
#define NdisInterruptLevelSensitive ((NDIS_INTERRUPT_MODE)0)
#define NdisInterruptLatched ((NDIS_INTERRUPT_MODE)1)

typedef ULONG NDIS_PARAMETER_TYPE;
#define NdisParameterInteger ((NDIS_PARAMETER_TYPE)0)
#define NdisParameterHexInteger ((NDIS_PARAMETER_TYPE)1)
#define NdisParameterString ((NDIS_PARAMETER_TYPE)2)
#define NdisParameterMultiString ((NDIS_PARAMETER_TYPE)3)
#define NdisParameterBinary ((NDIS_PARAMETER_TYPE)4)

typedef ULONG NDIS_HARDWARE_STATUS;
#define NdisHardwareStatusReady ((NDIS_HARDWARE_STATUS)0)

typedef ULONG NDIS_MEDIA_STATE;
#define NdisMediaStateConnected ((NDIS_MEDIA_STATE)0)
#define NdisMediaStateDisconnected ((NDIS_MEDIA_STATE)1)

// Attribute flags of NdisMSetAttributesEx
#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001u
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002u
#define NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS 0x00000004u
#define NDIS_ATTRIBUTE_BUS_MASTER 0x00000008u
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010u
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020u
#define NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND 0x00000040u

// MAC options
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001u
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002u
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004u
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008u

// Packet filter bits
#define NDIS_PACKET_TYPE_DIRECTED 0x00000001u
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002u
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004u
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008u
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010u
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020u
#define NDIS_PACKET_TYPE_SMT 0x00000040u
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080u
#define NDIS_PACKET_TYPE_GROUP 0x00001000u
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000u
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000u
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000u

// ---------------------------------------------------------------------------
// Object identifiers: general
#define OID_GEN_SUPPORTED_LIST 0x00010101u
#define OID_GEN_HARDWARE_STATUS 0x00010102u
#define OID_GEN_MEDIA_SUPPORTED 0x00010103u
#define OID_GEN_MEDIA_IN_USE 0x00010104u
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105u
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106u
#define OID_GEN_LINK_SPEED 0x00010107u
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108u
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109u
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010Au
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010Bu
#define OID_GEN_VENDOR_ID 0x0001010Cu
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010Du
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010Eu
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010Fu
#define OID_GEN_DRIVER_VERSION 0x00010110u
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111u
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112u
#define OID_GEN_MAC_OPTIONS 0x00010113u
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114u
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115u
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116u
#define OID_GEN_XMIT_OK 0x00020101u
#define OID_GEN_RCV_OK 0x00020102u
#define OID_GEN_XMIT_ERROR 0x00020103u
#define OID_GEN_RCV_ERROR 0x00020104u
#define OID_GEN_RCV_NO_BUFFER 0x00020105u

// 802.3
#define OID_802_3_PERMANENT_ADDRESS 0x01010101u
#define OID_802_3_CURRENT_ADDRESS 0x01010102u
#define OID_802_3_MULTICAST_LIST 0x01010103u
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104u
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101u
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102u
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103u

// 802.11
#define OID_802_11_BSSID 0x0D010101u
#define OID_802_11_SSID 0x0D010102u
#define OID_802_11_INFRASTRUCTURE_MODE 0x0D010108u
#define OID_802_11_ADD_WEP 0x0D010113u
#define OID_802_11_REMOVE_WEP 0x0D010114u
#define OID_802_11_DISASSOCIATE 0x0D010115u
#define OID_802_11_AUTHENTICATION_MODE 0x0D010118u
#define OID_802_11_PRIVACY_FILTER 0x0D010119u
#define OID_802_11_BSSID_LIST_SCAN 0x0D01011Au
#define OID_802_11_WEP_STATUS 0x0D01011Bu
#define OID_802_11_RELOAD_DEFAULTS 0x0D01011Cu
#define OID_802_11_NETWORK_TYPES_SUPPORTED 0x0D010203u
#define OID_802_11_NETWORK_TYPE_IN_USE 0x0D010204u
#define OID_802_11_TX_POWER_LEVEL 0x0D010205u
#define OID_802_11_RSSI 0x0D010206u
#define OID_802_11_RSSI_TRIGGER 0x0D010207u
#define OID_802_11_FRAGMENTATION_THRESHOLD 0x0D010209u
#define OID_802_11_RTS_THRESHOLD 0x0D01020Au
#define OID_802_11_NUMBER_OF_ANTENNAS 0x0D01020Bu
#define OID_802_11_RX_ANTENNA_SELECTED 0x0D01020Cu
#define OID_802_11_TX_ANTENNA_SELECTED 0x0D01020Du
#define OID_802_11_SUPPORTED_RATES 0x0D01020Eu
#define OID_802_11_DESIRED_RATES 0x0D010210u
#define OID_802_11_CONFIGURATION 0x0D010211u
#define OID_802_11_POWER_MODE 0x0D010216u
#define OID_802_11_BSSID_LIST 0x0D010217u
#define OID_802_11_STATISTICS 0x0D020212u

// ---------------------------------------------------------------------------
// 802.11 structures answered to the wireless configuration service.
typedef UCHAR NDIS_802_11_MAC_ADDRESS[6];
typedef LONG NDIS_802_11_RSSI;
typedef UCHAR NDIS_802_11_RATES[8];

typedef ULONG NDIS_802_11_NETWORK_TYPE;
#define Ndis802_11FH ((NDIS_802_11_NETWORK_TYPE)0)
#define Ndis802_11DS ((NDIS_802_11_NETWORK_TYPE)1)

typedef ULONG NDIS_802_11_NETWORK_INFRASTRUCTURE;
#define Ndis802_11IBSS ((NDIS_802_11_NETWORK_INFRASTRUCTURE)0)
#define Ndis802_11Infrastructure ((NDIS_802_11_NETWORK_INFRASTRUCTURE)1)
#define Ndis802_11AutoUnknown ((NDIS_802_11_NETWORK_INFRASTRUCTURE)2)

typedef ULONG NDIS_802_11_AUTHENTICATION_MODE;
#define Ndis802_11AuthModeOpen ((NDIS_802_11_AUTHENTICATION_MODE)0)
#define Ndis802_11AuthModeShared ((NDIS_802_11_AUTHENTICATION_MODE)1)
#define Ndis802_11AuthModeAutoSwitch ((NDIS_802_11_AUTHENTICATION_MODE)2)

typedef ULONG NDIS_802_11_WEP_STATUS;
#define Ndis802_11WEPEnabled ((NDIS_802_11_WEP_STATUS)0)
#define Ndis802_11WEPDisabled ((NDIS_802_11_WEP_STATUS)1)

typedef ULONG NDIS_802_11_PRIVACY_FILTER;
#define Ndis802_11PrivFilterAcceptAll ((NDIS_802_11_PRIVACY_FILTER)0)

typedef struct _NDIS_802_11_SSID {
    ULONG SsidLength;
    UCHAR Ssid[32];
} NDIS_802_11_SSID, *PNDIS_802_11_SSID;

typedef struct _NDIS_802_11_CONFIGURATION_FH {
    ULONG Length;
    ULONG HopPattern;
    ULONG HopSet;
    ULONG DwellTime;
} NDIS_802_11_CONFIGURATION_FH;

typedef struct _NDIS_802_11_CONFIGURATION {
    ULONG Length;
    ULONG BeaconPeriod;  // Kusec
    ULONG ATIMWindow;    // Kusec
    ULONG DSConfig;      // kHz
    NDIS_802_11_CONFIGURATION_FH FHConfig;
} NDIS_802_11_CONFIGURATION, *PNDIS_802_11_CONFIGURATION;

typedef struct _NDIS_WLAN_BSSID {
    ULONG Length;
    NDIS_802_11_MAC_ADDRESS MacAddress;
    UCHAR Reserved[2];
    NDIS_802_11_SSID Ssid;
    ULONG Privacy;
    NDIS_802_11_RSSI Rssi;
    NDIS_802_11_NETWORK_TYPE NetworkTypeInUse;
    NDIS_802_11_CONFIGURATION Configuration;
    NDIS_802_11_NETWORK_INFRASTRUCTURE InfrastructureMode;
    NDIS_802_11_RATES SupportedRates;
} NDIS_WLAN_BSSID, *PNDIS_WLAN_BSSID;

typedef struct _NDIS_802_11_BSSID_LIST {
    ULONG NumberOfItems;
    NDIS_WLAN_BSSID Bssid[1];
} NDIS_802_11_BSSID_LIST, *PNDIS_802_11_BSSID_LIST;

typedef struct _NDIS_802_11_NETWORK_TYPE_LIST {
    ULONG NumberOfItems;
    NDIS_802_11_NETWORK_TYPE NetworkType[1];
} NDIS_802_11_NETWORK_TYPE_LIST;

typedef struct _NDIS_802_11_WEP {
    ULONG Length;
    ULONG KeyIndex;  // bit 31: transmit key
    ULONG KeyLength;
    UCHAR KeyMaterial[1];
} NDIS_802_11_WEP, *PNDIS_802_11_WEP;

static_assert(sizeof(NDIS_802_11_SSID) == 36, "NDIS_802_11_SSID layout");
static_assert(sizeof(NDIS_802_11_CONFIGURATION) == 32, "NDIS_802_11_CONFIGURATION layout");
static_assert(sizeof(NDIS_WLAN_BSSID) == 104, "NDIS_WLAN_BSSID layout");
static_assert(offsetof(NDIS_WLAN_BSSID, Ssid) == 12, "NDIS_WLAN_BSSID.Ssid offset");
static_assert(offsetof(NDIS_WLAN_BSSID, Configuration) == 60, "NDIS_WLAN_BSSID.Configuration");
static_assert(offsetof(NDIS_WLAN_BSSID, SupportedRates) == 96, "NDIS_WLAN_BSSID.SupportedRates");
static_assert(offsetof(NDIS_802_11_BSSID_LIST, Bssid) == 4, "NDIS_802_11_BSSID_LIST layout");
static_assert(sizeof(NDIS_802_11_NETWORK_TYPE_LIST) == 8, "NDIS_802_11_NETWORK_TYPE_LIST");
static_assert(offsetof(NDIS_802_11_WEP, KeyMaterial) == 12, "NDIS_802_11_WEP header is 12 bytes");

// ---------------------------------------------------------------------------
// Packets and buffers. A buffer describes one virtually contiguous piece of a
// packet; a packet is a chain of buffers plus areas reserved for its owners.
typedef struct _NDIS_BUFFER {
    struct _NDIS_BUFFER* Next;
    PVOID VirtualAddress;
    UINT ByteCount;
} NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    UINT Count;
    UINT TotalLength;
    NDIS_STATUS Status;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR WrapperReserved[2 * sizeof(PVOID)];
    UCHAR ProtocolReserved[4 * sizeof(PVOID)];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

// ---------------------------------------------------------------------------
// Objects NDIS keeps inside the miniport's own memory. Their contents belong
// to NDIS; the miniport only provides the storage (zeroed is fine).
typedef struct _NDIS_SPIN_LOCK {
    ULONG_PTR SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID Reserved[8];
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

typedef VOID(NDIS_API* PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                             PVOID SystemSpecific2, PVOID SystemSpecific3);

typedef struct _NDIS_MINIPORT_TIMER {
    PVOID Reserved[10];
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

// ---------------------------------------------------------------------------
// Configuration
typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// ---------------------------------------------------------------------------
// Miniport handlers and the NDIS 4.0 characteristics block.
typedef BOOLEAN(NDIS_API* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NDIS_API* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                    PUINT SelectedMediumIndex,
                                                    PNDIS_MEDIUM MediumArray,
                                                    UINT MediumArraySize,
                                                    NDIS_HANDLE MiniportAdapterHandle,
                                                    NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NDIS_API* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                      PBOOLEAN QueueMiniportHandleInterrupt,
                                      NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                           NDIS_OID Oid,
                                                           PVOID InformationBuffer,
                                                           ULONG InformationBufferLength,
                                                           PULONG BytesWritten,
                                                           PULONG BytesNeeded);
typedef NDIS_STATUS(NDIS_API* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                     NDIS_HANDLE MiniportAdapterContext,
                                                     NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NDIS_API* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                               NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NDIS_API* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                              PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NDIS_API* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                         NDIS_OID Oid, PVOID InformationBuffer,
                                                         ULONG InformationBufferLength,
                                                         PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NDIS_API* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet,
                                                       PUINT BytesTransferred,
                                                       NDIS_HANDLE MiniportAdapterContext,
                                                       NDIS_HANDLE MiniportReceiveContext,
                                                       UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NDIS_API* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                PNDIS_PACKET Packet);
typedef VOID(NDIS_API* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                               PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef VOID(NDIS_API* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                    PVOID VirtualAddress, PVOID PhysicalAddress,
                                                    ULONG Length, PVOID Context);
typedef VOID(NDIS_API* ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
    // Added by NDIS 4.0
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// Two version bytes and a reserved word, then sixteen handler slots.
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 8 + 16 * sizeof(PVOID),
              "characteristics block: header and sixteen handler slots");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 72,
              "the NDIS 4.0 characteristics block is 72 bytes on a 32-bit target");
#endif

// ---------------------------------------------------------------------------
// Library calls
VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                    PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength);

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext);
VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status,
                                    PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType);
VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                     PUINT NetworkAddressLength,
                                     NDIS_HANDLE ConfigurationHandle);
VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
NDIS_STATUS NDIS_API NdisUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                   PUNICODE_STRING SourceString);

NDIS_STATUS NDIS_API NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

VOID NDIS_API NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE MiniportAdapterContext,
                                   UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                   NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PVOID* PortOffset,
                                              NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts);
VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                         UINT NumberOfPorts, PVOID PortOffset);
NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            NDIS_HANDLE MiniportAdapterHandle,
                                            UINT InterruptVector, UINT InterruptLevel,
                                            BOOLEAN RequestIsr, BOOLEAN SharedInterrupt,
                                            NDIS_INTERRUPT_MODE InterruptMode);
VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);

VOID NDIS_API NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer,
                                   NDIS_HANDLE MiniportAdapterHandle,
                                   PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NDIS_API NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod);
VOID NDIS_API NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NDIS_API NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);

VOID NDIS_API NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle,
                                                  PVOID ShutdownContext,
                                                  ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NDIS_API NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

VOID NDIS_API NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NDIS_API NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

VOID NDIS_API NdisGetFirstBufferFromPacket(PNDIS_PACKET Packet, PNDIS_BUFFER* FirstBuffer,
                                           PVOID* FirstBufferVA, PUINT FirstBufferLength,
                                           PUINT TotalBufferLength);
VOID NDIS_API NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length);
VOID NDIS_API NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer);
VOID NDIS_API NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status);

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                NDIS_STATUS Status);
VOID NDIS_API NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle,
                                      NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                                      UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                      UINT LookaheadBufferSize, UINT PacketSize);
VOID NDIS_API NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle);
VOID NDIS_API NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                                  PVOID StatusBuffer, UINT StatusBufferSize);
VOID NDIS_API NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);

#endif  // MIREL_PLATFORM_NDIS_H
