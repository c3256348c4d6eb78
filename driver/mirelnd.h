// mirelnd - NDIS 4.0 miniport driver for the 11 Mbit/s 802.11b PC Card.
//
// This header declares the Adapter record, the one structure that holds all
// per-card state, and the miniport handlers NDIS calls. The record's fields
// stand in a fixed order, grouped by the subsystem that owns them; zero is the
// initial value of every field (MiniportInitialize zero-fills the record),
// including the spin lock `Lock`.
#ifndef MIREL_DRIVER_MIRELND_H
#define MIREL_DRIVER_MIRELND_H

#include "platform/hal.h"
#include "platform/ndis.h"

// --- sizes -------------------------------------------------------------------------
#define POLL_TIMER_COUNT 50
#define TX_BUFFER_COUNT 3
#define TX_BUFFER_SIZE 1660          // bytes of one controller transmit buffer
#define RX_BUFFER_SIZE 1660          // RxBuffer and the fragment work buffer
#define FRAME_DESCRIPTOR_SIZE 60     // controller descriptor in front of every frame
#define TX_STAGING_SIZE 3000
#define MAX_ETHERNET_FRAME 1514      // the largest frame NDIS may hand the driver
#define KEYSTREAM_LENGTH 2348
#define NAME_FIELD_SIZE 33           // up to 32 characters and a NUL
#define WEP_KEY_SLOTS 4
#define WEP_KEY_SLOT_SIZE 40
#define VENDOR_DESCRIPTION_SIZE 128
#define MULTICAST_LIST_MAX 32
#define AUX_READ_BUFFER_SIZE 1024
#define DOWNLOAD_BUFFER_SIZE 8192
#define DOWNLOAD_BUFFER_WORDS (DOWNLOAD_BUFFER_SIZE / 2)
#define TALLIES_BLOCK_SIZE 84
#define SCAN_RESULT_BLOCK_SIZE 1000
#define BSS_LIST_SLOTS 20
#define INFO_WORK_BUFFER_SIZE 2000
#define MONITOR_FILTER_SIZE 13
#define VENDOR_USER_DATA_SIZE 44
#define LINK_MONITOR_PERIOD_MS 1000

// Pool tag of the Adapter record: the characters M, R, N, D in memory order.
#define MIREL_POOL_TAG ((ULONG)('M' | ('R' << 8) | ('N' << 16) | ((ULONG)'D' << 24)))

// Scan states
#define SCAN_IDLE 0
#define SCAN_SURVEY 1
#define SCAN_STARTED 2
#define SCAN_EMPTY_SSID 3

// --- transmit buffer lists ----------------------------------------------------------
// Circular doubly linked lists with a head node; an entry's link comes first.
typedef struct _TX_LIST_ENTRY {
    struct _TX_LIST_ENTRY* Flink;
    struct _TX_LIST_ENTRY* Blink;
} TX_LIST_ENTRY, *PTX_LIST_ENTRY;

typedef struct _TX_BUFFER_ENTRY {
    TX_LIST_ENTRY Link;
    USHORT FrameId;
} TX_BUFFER_ENTRY, *PTX_BUFFER_ENTRY;

// The BSS list as OID_802_11_BSSID_LIST answers it: a count and 20 slots.
typedef struct _MIREL_BSS_LIST {
    ULONG NumberOfItems;
    NDIS_WLAN_BSSID Bssid[BSS_LIST_SLOTS];
} MIREL_BSS_LIST;

// --- the Adapter record ---------------------------------------------------------------
typedef struct _ADAPTER {
    NDIS_HANDLE MiniportHandle;
    NDIS_MINIPORT_INTERRUPT Interrupt;
    ULONG IoBase;
    ULONG PacketFilter;
    NDIS_MINIPORT_TIMER PollTimers[POLL_TIMER_COUNT];

    // registry configuration
    ULONG IoBaseAddress;
    ULONG InterruptNumber;
    UCHAR Essid[NAME_FIELD_SIZE];
    UCHAR EssidLength;
    UCHAR CurrentSsid[NAME_FIELD_SIZE];
    UCHAR CurrentSsidLength;
    UCHAR OwnSsid[NAME_FIELD_SIZE];
    UCHAR OwnSsidLength;
    UCHAR SavedEssid[NAME_FIELD_SIZE];
    UCHAR SavedEssidLength;
    UCHAR SavedNetworkMode;
    UCHAR StationName[NAME_FIELD_SIZE];
    UCHAR StationNameLength;
    UCHAR PermanentAddress[6];
    UCHAR CurrentAddress[6];
    ULONG MediumReservation;
    ULONG TransmitRate;
    ULONG Channel;
    ULONG CurrentChannel;
    USHORT ChannelMask;
    ULONG Fd11Code;
    ULONG PSMode;
    ULONG PSLevel;
    ULONG NetworkMode;
    ULONG APDensity;
    ULONG WepReq;
    ULONG DefaultKeyId;
    UCHAR DefaultKeysText[WEP_KEY_SLOT_SIZE];
    UCHAR WepKeys[WEP_KEY_SLOTS][WEP_KEY_SLOT_SIZE];

    // host WEP engine
    UCHAR TxIv[4];
    USHORT FramesSinceIv;
    USHORT IVCount;
    UCHAR TxSeed[16];
    UCHAR RxSeedCache[16];
    UCHAR TxKeystream[KEYSTREAM_LENGTH];
    UCHAR RxKeystream[KEYSTREAM_LENGTH];
    ULONG DecryptInDriver;
    ULONG EncryptInDriver;
    ULONG WEPFactor;
    UCHAR Rc4Box[256];
    USHORT Rc4I;
    USHORT Rc4J;
    ULONG CrcTable[256];

    ULONG AuthenticationType;
    UCHAR CurrentBssid[6];
    ULONG CurrentLookahead;
    UCHAR MaxMulticastList;

    // transmit staging: the gathered Ethernet frame, then the descriptor and
    // data as they go to the controller
    UCHAR TxStagingBuffer[TX_STAGING_SIZE];
    alignas(4) UCHAR TxFrameBuffer[TX_BUFFER_SIZE];

    // receive indication
    PUCHAR LookaheadPtr;
    USHORT IndicatedLength;

    USHORT MulticastCount;
    UCHAR MulticastList[MULTICAST_LIST_MAX][6];

    USHORT PendingEvents;
    alignas(4) UCHAR AuxReadBuffer[AUX_READ_BUFFER_SIZE];
    USHORT DownloadBufPage;
    USHORT DownloadBufOffset;
    USHORT DownloadBufLength;

    USHORT LinkState;
    ULONG MediaDisconnected;

    ULONG FramesSentOk;
    ULONG BytesSent;
    ULONG SendErrors;
    ULONG FramesReceivedOk;
    ULONG BytesReceived;
    ULONG ReceiveErrors;

    alignas(4) UCHAR TalliesBlock[TALLIES_BLOCK_SIZE];
    alignas(4) UCHAR ScanResultBlock[SCAN_RESULT_BLOCK_SIZE];
    alignas(4) UCHAR InfoWorkBuffer[INFO_WORK_BUFFER_SIZE];

    UCHAR MonitorMode;

    // firmware download
    UCHAR DownloadFailed;
    UCHAR DownloadInProgress;
    UCHAR DownloadBuffer[DOWNLOAD_BUFFER_SIZE];
    ULONG DownloadAddress;
    USHORT DownloadWordCount;

    USHORT IdentityFd02[3];
    USHORT IdentityFd20[3];

    ULONG ShortPreamble;
    ULONG FragThresh;
    ULONG PollInDriver;

    // send queue: packets linked through MiniportReserved
    UCHAR SendQueueDrained;
    PNDIS_PACKET SendQueueHead;
    PNDIS_PACKET SendQueueTail;
    ULONG SendQueueCount;
    PNDIS_PACKET SendDoneHead;
    PNDIS_PACKET SendDoneTail;

    NDIS_SPIN_LOCK Lock;

    UCHAR VendorDescription[VENDOR_DESCRIPTION_SIZE];

    // vendor management protocol; the information fields stand in this order
    // and are followed directly by VendorInfoReceived and MonitorFilter
    UCHAR VendorEncap;
    UCHAR VendorString1[32];
    UCHAR VendorString2[32];
    UCHAR VendorString3[128];
    UCHAR VendorByte4;
    UCHAR VendorByte5;
    UCHAR VendorByte6;
    UCHAR VendorByte7;
    UCHAR VendorByte8;
    UCHAR VendorByte9;
    UCHAR VendorBytes10[4];
    UCHAR VendorInfoReceived;
    UCHAR MonitorFilter[MONITOR_FILTER_SIZE];

    // receive
    alignas(4) UCHAR RxBuffer[RX_BUFFER_SIZE];
    UCHAR RxHeader[14];

    MIREL_BSS_LIST BssList;

    USHORT LinkLossTicks;
    USHORT PortStatus;
    UCHAR VendorUserData[VENDOR_USER_DATA_SIZE];
    USHORT ScanState;
    USHORT EapolState;
    UCHAR CardRemoved;
    UCHAR WinXP;
    UCHAR RestartPending;
    NDIS_MINIPORT_TIMER LinkMonitorTimer;
    ULONG TickCount;
    ULONG RadioDisable;
    USHORT UserCommand[4];

    ULONG TxThroughput;
    ULONG RxThroughput;
    ULONG TxBytesAtSample;
    ULONG RxBytesAtSample;

    ULONG TxInFlight;
    UCHAR RxIndicating;

    // transmit buffers in controller memory
    TX_LIST_ENTRY TxBusyList;
    TX_LIST_ENTRY TxFreeList;
    TX_BUFFER_ENTRY TxBufferEntries[TX_BUFFER_COUNT];
    USHORT TxFreeCount;
    USHORT SpareTxFid;
    UCHAR SpareTxFree;

    UCHAR ScanRequestCount;

    // receive fragment state
    USHORT RxSnapKind;
    alignas(4) UCHAR RxFragmentBuffer[RX_BUFFER_SIZE];
} ADAPTER, *PADAPTER;

// Buffers marked alignas(4) are filled and read as 16-bit controller words.

// The vendor information answer reads these fields as one run of bytes.
static_assert(offsetof(ADAPTER, VendorInfoReceived) == offsetof(ADAPTER, VendorString1) + 202,
              "vendor information fields are contiguous");
static_assert(offsetof(ADAPTER, MonitorFilter) == offsetof(ADAPTER, VendorInfoReceived) + 1,
              "MonitorFilter follows VendorInfoReceived");
static_assert(sizeof(((ADAPTER*)0)->BssList) == 4 + BSS_LIST_SLOTS * 104, "BSS list layout");

// Driver-wide receive reassembly state, shared by all adapters.
extern UCHAR ReassemblyActive;
extern USHORT ReassemblyOffset;

// --- entry point and miniport handlers ---------------------------------------------------
extern "C" NTSTATUS NDIS_API DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS NDIS_API MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                        PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                        NDIS_HANDLE MiniportAdapterHandle,
                                        NDIS_HANDLE WrapperConfigurationContext);
VOID NDIS_API MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportShutdown(PVOID ShutdownContext);
NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                          NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                                  UINT NumberOfPackets);
NDIS_STATUS NDIS_API MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                          NDIS_HANDLE MiniportAdapterContext,
                                          NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                          UINT BytesToTransfer);
NDIS_STATUS NDIS_API MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                              PVOID InformationBuffer, ULONG InformationBufferLength,
                                              PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                            PVOID InformationBuffer, ULONG InformationBufferLength,
                                            PULONG BytesRead, PULONG BytesNeeded);
VOID NDIS_API LinkMonitorTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                              PVOID SystemSpecific3);
VOID NDIS_API PollTimerCallback(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                PVOID SystemSpecific3);

#endif  // MIREL_DRIVER_MIRELND_H
