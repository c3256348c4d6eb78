// MAC controller access: the register window, the command protocol, the
// buffer access paths, record transfer and the record catalogue, the
// auxiliary port and firmware download.
//
// Every operation that can fail returns a 16-bit hardware status: 0 success,
// 1..0x7E a controller result code, HW_ERR_TIMEOUT (0x7F) when a busy bit did
// not clear, an awaited event did not come, the card-present signature is
// missing or a request was not valid. Nothing here takes a lock: callers hold
// the Adapter's Lock around each whole sequence whenever another handler could
// touch the controller.
#ifndef MIREL_DRIVER_HW_HW_H
#define MIREL_DRIVER_HW_HW_H

#include "driver/mirelnd.h"

// --- registers (byte offsets from IoBase) ------------------------------------------
#define REG_COMMAND 0x00
#define REG_PARAM0 0x02
#define REG_PARAM1 0x04
#define REG_PARAM2 0x06
#define REG_STATUS 0x08
#define REG_RESP0 0x0A
#define REG_INFO_FID 0x10
#define REG_CONTROL 0x14
#define REG_SELECT0 0x18
#define REG_SELECT1 0x1A
#define REG_OFFSET0 0x1C
#define REG_OFFSET1 0x1E
#define REG_RX_FID 0x20
#define REG_ALLOC_FID 0x22
#define REG_TX_COMPL_FID 0x24
#define REG_SW_SUPPORT0 0x28
#define REG_EVENT_STATUS 0x30
#define REG_INT_ENABLE 0x32
#define REG_EVENT_ACK 0x34
#define REG_DATA0 0x36
#define REG_DATA1 0x38
#define REG_AUX_PAGE 0x3A
#define REG_AUX_OFFSET 0x3C
#define REG_AUX_DATA 0x3E

#define CMD_BUSY 0x8000
#define OFFSET_BUSY 0x8000

// --- events --------------------------------------------------------------------------
#define EV_RX 0x0001
#define EV_TX 0x0002
#define EV_TX_EXC 0x0004
#define EV_ALLOC 0x0008
#define EV_CMD 0x0010
#define EV_INFO 0x0080
#define EV_BIT13 0x2000
#define EV_BIT15 0x8000
#define EV_ALL 0xFFFF
#define INT_ENABLE_MASK 0x208F

#define CARD_SIGNATURE 0x7D37

// --- commands --------------------------------------------------------------------------
#define CMD_INIT 0x0000
#define CMD_ENABLE 0x0001
#define CMD_DISABLE 0x0002
#define CMD_ALLOCATE 0x000A
#define CMD_TRANSMIT 0x010B
#define CMD_INQUIRE 0x0011
#define CMD_ACCESS 0x0021
#define CMD_ACCESS_WRITE 0x0121
#define CMD_PROGRAM 0x0022
#define CMD_READ_INDIRECT 0x0030
#define CMD_WRITE_INDIRECT 0x0031
#define CMD_MONITOR 0x0038

#define HW_ERR_TIMEOUT 0x7F

// --- information types ------------------------------------------------------------------
#define INFO_TYPE_F100 0xF100
#define INFO_TYPE_SCAN 0xF101
#define INFO_TYPE_HOST_SCAN 0xF103
#define INFO_TYPE_LINK_STATUS 0xF200

// --- record identifiers ----------------------------------------------------------------
#define RID_NETWORK_MODE 0xFC00
#define RID_MAC_ADDRESS 0xFC01
#define RID_DESIRED_SSID 0xFC02
#define RID_OWN_CHANNEL 0xFC03
#define RID_OWN_SSID 0xFC04
#define RID_AP_DENSITY 0xFC06
#define RID_PS_MODE 0xFC09
#define RID_PS_LEVEL 0xFC0A
#define RID_STATION_NAME 0xFC0E
#define RID_DEFAULT_KEY_ID 0xFC23
#define RID_DEFAULT_KEY0 0xFC24
#define RID_DEFAULT_KEY1 0xFC25
#define RID_DEFAULT_KEY2 0xFC26
#define RID_DEFAULT_KEY3 0xFC27
#define RID_WEP_FLAGS 0xFC28
#define RID_AUTHENTICATION_TYPE 0xFC2A
#define RID_FRAG_THRESHOLD 0xFC82
#define RID_MEDIUM_RESERVATION 0xFC83
#define RID_TRANSMIT_RATE 0xFC84
#define RID_SHORT_PREAMBLE 0xFCB0
#define RID_BASIC_RATES 0xFCB3
#define RID_FCE0 0xFCE0
#define RID_SCAN_REQUEST 0xFCE5
#define RID_DOWNLOAD_BUFFER 0xFD01
#define RID_IDENTITY_FD02 0xFD02
#define RID_FD0D 0xFD0D
#define RID_CHANNEL_MASK 0xFD10
#define RID_FD11 0xFD11
#define RID_IDENTITY_FD20 0xFD20
#define RID_FD40 0xFD40
#define RID_CURRENT_SSID 0xFD41
#define RID_CURRENT_BSSID 0xFD42
#define RID_LINK_QUALITY 0xFD43
#define RID_CURRENT_CHANNEL 0xFDC1

// Record lengths (the length word: identifier plus data words).
#define RID_LEN_BYTE 2
#define RID_LEN_WORD 2
#define RID_LEN_NAME 0x12
#define RID_LEN_ADDRESS 4

// Host image of a record: length word, identifier word, data words.
#define RECORD_BUFFER_WORDS 128

// --- auxiliary port ----------------------------------------------------------------------
#define AUX_ENABLE 0x8000
#define AUX_DISABLE 0x4000
#define AUX_STATE_MASK 0xC000
#define AUX_KEY0 0x3A7C
#define AUX_KEY1 0x51E9
#define AUX_KEY2 0x6D02
#define AUX_MEMORY_BLOCK_ADDRESS 0x390000u
#define AUX_MEMORY_BLOCK_WORDS 512

#define PROGRAM_MODE_COMMIT 0x0000
#define PROGRAM_MODE_VOLATILE 0x0100
#define PROGRAM_MODE_BLOCK 0x0200
#define PROGRAM_MODE_WRITE 0x0300

// --- register window and commands -------------------------------------------------------
USHORT HwReadReg(PADAPTER Adapter, USHORT Offset);
VOID HwWriteReg(PADAPTER Adapter, USHORT Offset, USHORT Value);
USHORT HwPollCount(USHORT TimeoutMs);
USHORT HwBusyWait(PADAPTER Adapter, USHORT Offset, USHORT TimeoutMs);
USHORT HwEventWait(PADAPTER Adapter, USHORT EventMask, USHORT TimeoutMs);
USHORT HwResultCode(PADAPTER Adapter);
VOID HwAckEvents(PADAPTER Adapter, USHORT EventMask);
BOOLEAN HwCardPresent(PADAPTER Adapter);

// The command protocol, by number of parameters.
USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT TimeoutMs);
USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT TimeoutMs);
USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1, USHORT TimeoutMs);
USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1, USHORT Param2,
                      USHORT TimeoutMs);
USHORT HwCommandTimeout(USHORT Code);
USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code);
USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0);
USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1);
USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1,
                                 USHORT Param2);

USHORT HwResetController(PADAPTER Adapter);
USHORT HwEnablePort(PADAPTER Adapter);
USHORT HwDisablePort(PADAPTER Adapter);
USHORT HwInquire(PADAPTER Adapter, USHORT InfoType);
USHORT HwMonitor(PADAPTER Adapter, UCHAR SubCode);
BOOLEAN HwUserCommand(PADAPTER Adapter);

// --- buffer access paths and records --------------------------------------------------------
USHORT HwBapRead(PADAPTER Adapter, USHORT Select, PUSHORT Destination, USHORT Offset, USHORT WordCount);
USHORT HwBapWrite(PADAPTER Adapter, USHORT Select, const USHORT* Source, USHORT Offset, USHORT WordCount);
USHORT HwReadRecord(PADAPTER Adapter, PUSHORT Record);
USHORT HwWriteRecord(PADAPTER Adapter, PUSHORT Record);
VOID CopyBytes(PUCHAR Destination, const UCHAR* Source, UCHAR Count);
VOID FillBytes(PUCHAR Destination, UCHAR Value, UCHAR Count);

// --- record catalogue -------------------------------------------------------------------------
USHORT HwGetRecordByte(PADAPTER Adapter, USHORT Rid, PUCHAR Value);
USHORT HwSetRecordByte(PADAPTER Adapter, USHORT Rid, ULONG Value);
USHORT HwGetRecordWord(PADAPTER Adapter, USHORT Rid, PUSHORT Value);
USHORT HwSetRecordWord(PADAPTER Adapter, USHORT Rid, USHORT Length, ULONG Value);
USHORT HwGetRecordName(PADAPTER Adapter, USHORT Rid, PUCHAR Destination, PUCHAR Length);
USHORT HwSetRecordName(PADAPTER Adapter, USHORT Rid, const UCHAR* Name, UCHAR Length);
USHORT HwSetDesiredSsid(PADAPTER Adapter);
USHORT HwSetEmptyDesiredSsid(PADAPTER Adapter);
USHORT HwSetOwnSsid(PADAPTER Adapter);
USHORT HwSetPowerSave(PADAPTER Adapter, ULONG Mode, ULONG Level);
USHORT HwGetPowerSave(PADAPTER Adapter, PUCHAR Mode, PUCHAR Level);
USHORT HwSetTransmitRate(PADAPTER Adapter, ULONG Rate);
USHORT HwComputeWepFlags(PADAPTER Adapter, ULONG Value);
USHORT HwSetWepFlags(PADAPTER Adapter, ULONG Value);
USHORT HwSetDefaultKey(PADAPTER Adapter, ULONG Index);
USHORT HwSetMacAddress(PADAPTER Adapter, const UCHAR* Address);
USHORT HwGetCurrentBssid(PADAPTER Adapter, PUCHAR Destination);
USHORT HwGetLinkQuality(PADAPTER Adapter, PUCHAR Destination);
USHORT HwRequestScan(PADAPTER Adapter);
BOOLEAN HwIsAnySsid(const UCHAR* Name, ULONG Length);
BOOLEAN HwNewerFirmware(PADAPTER Adapter);

// --- auxiliary port and firmware download ----------------------------------------------------
USHORT HwAuxEnable(PADAPTER Adapter);
USHORT HwAuxDisable(PADAPTER Adapter);
BOOLEAN HwAuxRead(PADAPTER Adapter, PUSHORT Destination, ULONG Address, USHORT WordCount);
USHORT HwReadControllerMemoryBlock(PADAPTER Adapter);
USHORT HwProgram(PADAPTER Adapter, USHORT Mode, ULONG Address, USHORT Length);
VOID HwDownloadBlock(PADAPTER Adapter);

#endif  // MIREL_DRIVER_HW_HW_H
