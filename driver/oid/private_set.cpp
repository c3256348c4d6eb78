// Private sets of the configuration utility: each stores one setting (applied
// by OID_PRIV_RESTART), and the maintenance sets drive firmware download,
// indirect registers, monitor mode, user commands and the vendor protocol.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"
#include "driver/oid/oid.h"

// A setting taken from the first byte of the buffer.
static NDIS_STATUS StoreLowByte(OID_SET* Request, PULONG Field) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, 1, &Status)) return Status;
    *Field = Request->Buffer[0];
    return NDIS_STATUS_SUCCESS;
}

// Key slot from hexadecimal text: 2n characters for an n-byte key. A pair
// that is not hexadecimal leaves the slot's key all zero; the set succeeds.
static NDIS_STATUS SetKeyText(PADAPTER Adapter, OID_SET* Request, int Slot) {
    ULONG Size = (Slot == 0 && Adapter->WepReq == 7) ? 13 : 5;
    NDIS_STATUS Status;
    if (SetTooShort(Request, 2 * Size, &Status)) return Status;
    UCHAR Key[13];
    for (ULONG Index = 0; Index < Size; Index++) {
        if (!HexPairToByte(Request->Buffer[2 * Index + 1], Request->Buffer[2 * Index], &Key[Index])) {
            memset(Adapter->WepKeys[Slot], 0, Size);
            return NDIS_STATUS_SUCCESS;
        }
    }
    memcpy(Adapter->WepKeys[Slot], Key, Size);
    Adapter->WepKeys[Slot][Size] = 0;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS DownloadParams(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, 6, &Status)) return Status;
    const UCHAR* B = Request->Buffer;
    ULONG Address = ((ULONG)B[0] << 24) | ((ULONG)B[1] << 16) | ((ULONG)B[2] << 8) | B[3];
    USHORT Words = (USHORT)((B[4] << 8) | B[5]);
    // A block larger than the download buffer can never be sent.
    if (Words > DOWNLOAD_BUFFER_WORDS) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
    Adapter->DownloadInProgress = 1;
    Adapter->DownloadAddress = Address;
    Adapter->DownloadWordCount = Words;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS DownloadData(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    ULONG Bytes = 2u * Adapter->DownloadWordCount;
    if (SetTooShort(Request, Bytes, &Status)) return Status;
    if (Bytes != 0) memcpy(Adapter->DownloadBuffer, Request->Buffer, Bytes);
    NdisAcquireSpinLock(&Adapter->Lock);
    HwDownloadBlock(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    Adapter->DownloadInProgress = 0;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS DownloadStart(PADAPTER Adapter) {
    NdisAcquireSpinLock(&Adapter->Lock);
    MiniportDisableInterrupt(Adapter);
    if (HwResetController(Adapter) != 0) Adapter->DownloadFailed = 1;
    if (HwAuxEnable(Adapter) != 0) Adapter->DownloadFailed = 1;
    NdisReleaseSpinLock(&Adapter->Lock);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS DownloadFinish(PADAPTER Adapter) {
    NdisAcquireSpinLock(&Adapter->Lock);
    if (HwProgram(Adapter, PROGRAM_MODE_COMMIT, 0, 0) != 0) Adapter->DownloadFailed = 1;
    if (HwAuxDisable(Adapter) != 0) Adapter->DownloadFailed = 1;
    if (HwResetController(Adapter) != 0) Adapter->DownloadFailed = 1;
    NdisReleaseSpinLock(&Adapter->Lock);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS IndirectWrite(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, 50, &Status)) return Status;
    BOOLEAN Failed = FALSE;
    NdisAcquireSpinLock(&Adapter->Lock);
    for (USHORT Register = 1; Register <= 49; Register++) {
        if (HwIssueCommand(Adapter, CMD_WRITE_INDIRECT, (USHORT)(2 * Register), Request->Buffer[Register], 0, 50) != 0) {
            Failed = TRUE;
        }
    }
    NdisReleaseSpinLock(&Adapter->Lock);
    return Failed ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS UserCommand(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, 8, &Status)) return Status;
    for (int Word = 0; Word < 4; Word++) {
        Adapter->UserCommand[Word] = (USHORT)(Request->Buffer[2 * Word] | (Request->Buffer[2 * Word + 1] << 8));
    }
    NdisAcquireSpinLock(&Adapter->Lock);
    HwUserCommand(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    return NDIS_STATUS_SUCCESS;
}

// User data for the vendor report: at most 43 bytes (byte 43 of the field is
// the link quality), stored and sent only while connected.
static NDIS_STATUS VendorSend(PADAPTER Adapter, OID_SET* Request) {
    if (Request->Length > VENDOR_USER_DATA_SIZE - 1) {
        return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, VENDOR_USER_DATA_SIZE - 1);
    }
    if (Adapter->LinkState == 1) {
        if (Request->Length != 0) memcpy(Adapter->VendorUserData, Request->Buffer, Request->Length);
        NdisAcquireSpinLock(&Adapter->Lock);
        SendVendorReport(Adapter);
        NdisReleaseSpinLock(&Adapter->Lock);
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS PrivateSetBranch(PADAPTER Adapter, NDIS_OID Oid, OID_SET* Request) {
    NDIS_STATUS Status;
    switch (Oid) {
        case OID_PRIV_NETWORK_MODE: return StoreLowByte(Request, &Adapter->NetworkMode);
        case OID_PRIV_ESSID:
            // The name field holds 32 characters; a longer one is refused.
            if (Request->Length > 32) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 32);
            if (Request->Length != 0) memcpy(Adapter->Essid, Request->Buffer, Request->Length);
            Adapter->EssidLength = (UCHAR)Request->Length;
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_CHANNEL: return StoreLowByte(Request, &Adapter->Channel);
        case OID_PRIV_AP_DENSITY: return StoreLowByte(Request, &Adapter->APDensity);
        case OID_PRIV_PS_MODE: return StoreLowByte(Request, &Adapter->PSMode);
        case OID_PRIV_MEDIUM_RESERVATION:
            if (SetTooShort(Request, 4, &Status)) return Status;
            Adapter->MediumReservation = SetUlong(Request);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_TRANSMIT_RATE: return StoreLowByte(Request, &Adapter->TransmitRate);
        case OID_PRIV_SPARE_BYTE:
            if (SetTooShort(Request, 1, &Status)) return Status;
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_REQ: return StoreLowByte(Request, &Adapter->WepReq);
        case OID_PRIV_WEP_KEY0: return SetKeyText(Adapter, Request, 0);
        case OID_PRIV_WEP_KEY1: return SetKeyText(Adapter, Request, 1);
        case OID_PRIV_WEP_KEY2: return SetKeyText(Adapter, Request, 2);
        case OID_PRIV_WEP_KEY3: return SetKeyText(Adapter, Request, 3);
        case OID_PRIV_DEFAULT_KEY_ID:
            if (SetTooShort(Request, 1, &Status)) return Status;
            NdisAcquireSpinLock(&Adapter->Lock);
            Adapter->DefaultKeyId = Request->Buffer[0];
            WepRekey(Adapter, WEP_SELECT_DEFAULT);
            NdisReleaseSpinLock(&Adapter->Lock);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WINXP:
            if (SetTooShort(Request, 4, &Status)) return Status;
            Adapter->WinXP = (SetUlong(Request) & 0xF) != 0 ? 1 : 0;
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_RESTART:
            // The link is marked down without telling NDIS; the link monitor
            // reports it when it comes back.
            Adapter->PortStatus = 0;
            Adapter->LinkState = 4;
            Adapter->MediaDisconnected = 1;
            return CardRestart(Adapter) != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
        // maintenance
        case OID_PRIV_DOWNLOAD_START: return DownloadStart(Adapter);
        case OID_PRIV_DOWNLOAD_PARAMS: return DownloadParams(Adapter, Request);
        case OID_PRIV_DOWNLOAD_DATA: return DownloadData(Adapter, Request);
        case OID_PRIV_DOWNLOAD_REPEAT:
            NdisAcquireSpinLock(&Adapter->Lock);
            HwDownloadBlock(Adapter);
            NdisReleaseSpinLock(&Adapter->Lock);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_DOWNLOAD_FINISH: return DownloadFinish(Adapter);
        case OID_PRIV_INDIRECT_WRITE: return IndirectWrite(Adapter, Request);
        case OID_PRIV_MONITOR_ON: return CardEnterMonitorMode(Adapter) != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
        case OID_PRIV_MONITOR_OFF: return CardLeaveMonitorMode(Adapter) != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
        case OID_PRIV_MONITOR_FILTER:
            if (SetTooShort(Request, MONITOR_FILTER_SIZE, &Status)) return Status;
            memcpy(Adapter->MonitorFilter, Request->Buffer, MONITOR_FILTER_SIZE);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_USER_COMMAND: return UserCommand(Adapter, Request);
        case OID_PRIV_VENDOR_SEND: return VendorSend(Adapter, Request);
        default:
            return NDIS_STATUS_INVALID_OID;
    }
}
