// Private queries of the configuration utility: settings, link and firmware
// state, statistics, scan results, the site survey, and maintenance.
#include <string.h>

#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"
#include "driver/oid/oid.h"

// A name kept with its length byte, answered as its characters and a zero byte.
static VOID Text(OID_ANSWER* Answer, const UCHAR* Name, UCHAR Length) {
    if (Length > NAME_FIELD_SIZE - 1) Length = NAME_FIELD_SIZE - 1;
    StageAnswer(Answer, Name, Length);
    Answer->Length = Length + 1u;
}

static VOID Words(OID_ANSWER* Answer, USHORT W0, USHORT W1, USHORT W2) {
    USHORT Words[4] = {W0, W1, W2, 0};
    StageAnswer(Answer, Words, sizeof(Words));
}

static NDIS_STATUS MemoryRead(PADAPTER Adapter, OID_ANSWER* Answer) {
    NdisAcquireSpinLock(&Adapter->Lock);
    HwAuxEnable(Adapter);
    HwAuxRead(Adapter, (PUSHORT)Adapter->AuxReadBuffer, AUX_MEMORY_BLOCK_ADDRESS, AUX_MEMORY_BLOCK_WORDS);
    USHORT Status = HwReadControllerMemoryBlock(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Status != 0) return NDIS_STATUS_FAILURE;
    Answer->Source = Adapter->AuxReadBuffer;
    Answer->Length = AUX_READ_BUFFER_SIZE;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS IndirectRead(PADAPTER Adapter, OID_ANSWER* Answer) {
    BOOLEAN Failed = FALSE;
    memset(Answer->Scratch, 0, sizeof(Answer->Scratch));
    NdisAcquireSpinLock(&Adapter->Lock);
    for (USHORT Register = 0; Register < 64; Register++) {
        if (HwIssueCommand(Adapter, CMD_READ_INDIRECT, (USHORT)(2 * Register), 0, 0, 50) != 0) Failed = TRUE;
        Answer->Scratch[Register] = (UCHAR)(HwReadReg(Adapter, REG_RESP0) & 0xFF);
    }
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Failed) return NDIS_STATUS_FAILURE;
    Answer->Source = Answer->Scratch;
    Answer->Length = 255;
    return NDIS_STATUS_SUCCESS;
}

// VendorInfoReceived, then the vendor information fields, VendorInfoReceived
// once more and the first six bytes of MonitorFilter: 210 bytes.
static NDIS_STATUS VendorInfo(PADAPTER Adapter, OID_ANSWER* Answer) {
    NdisAcquireSpinLock(&Adapter->Lock);
    SendVendorRequest(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    PUCHAR Out = Answer->Scratch;
    memset(Out, 0, sizeof(Answer->Scratch));
    Out[0] = Adapter->VendorInfoReceived;
    memcpy(Out + 1, (const UCHAR*)Adapter + offsetof(ADAPTER, VendorString1), 202);
    Out[203] = Adapter->VendorInfoReceived;
    memcpy(Out + 204, Adapter->MonitorFilter, 6);
    Answer->Source = Out;
    Answer->Length = 210;
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS SurveyStart(PADAPTER Adapter) {
    Adapter->ScanState = SCAN_SURVEY;
    NdisAcquireSpinLock(&Adapter->Lock);
    if (HwNewerFirmware(Adapter)) {
        HwRequestScan(Adapter);
    } else {
        StartAnySurvey(Adapter);
    }
    NdisReleaseSpinLock(&Adapter->Lock);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS SurveyStop(PADAPTER Adapter) {
    if (!HwNewerFirmware(Adapter)) CardRestoreNetwork(Adapter);
    memset(Adapter->ScanResultBlock, 0, SCAN_RESULT_BLOCK_SIZE);
    Adapter->ScanState = SCAN_IDLE;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS PrivateQueryBranch(PADAPTER Adapter, NDIS_OID Oid, OID_ANSWER* Answer) {
    switch (Oid) {
        case OID_PRIV_NETWORK_MODE: Answer->Value = Adapter->NetworkMode; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_ESSID: Text(Answer, Adapter->Essid, Adapter->EssidLength); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_CHANNEL: Answer->Value = Adapter->Channel; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_OWN_SSID: Text(Answer, Adapter->OwnSsid, Adapter->OwnSsidLength); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_AP_DENSITY: Answer->Value = Adapter->APDensity; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_PS_MODE: Answer->Value = Adapter->PSMode; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_STATION_NAME: {
            UCHAR Name[NAME_FIELD_SIZE];
            UCHAR Length = 0;
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwGetRecordName(Adapter, RID_STATION_NAME, Name, &Length);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            StageAnswer(Answer, Name, Length);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_MEDIUM_RESERVATION: Answer->Value = Adapter->MediumReservation; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_TRANSMIT_RATE:
        case OID_PRIV_RATE: Answer->Value = Adapter->TransmitRate; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_CHANNEL_MASK: Answer->Value = Adapter->ChannelMask; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_RECORD_FD11: Answer->Value = Adapter->Fd11Code; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_RECORD_FD40: {
            UCHAR Value = 0;
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwGetRecordByte(Adapter, RID_FD40, &Value);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            Answer->Value = Value;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_CURRENT_SSID: Text(Answer, Adapter->CurrentSsid, Adapter->CurrentSsidLength); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_BSSID_TEXT: {
            static const char Digits[] = "0123456789abcdef";
            char Hex[12];
            for (int Index = 0; Index < 6; Index++) {
                Hex[2 * Index] = Digits[Adapter->CurrentBssid[Index] >> 4];
                Hex[2 * Index + 1] = Digits[Adapter->CurrentBssid[Index] & 0xF];
            }
            StageAnswer(Answer, Hex, 12);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_LINK_QUALITY: {
            UCHAR Quality[8] = {0};
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwGetLinkQuality(Adapter, Quality);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            StageAnswer(Answer, Quality, 8);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_CURRENT_CHANNEL:
            Answer->Value = Adapter->NetworkMode == 3 ? Adapter->Channel : Adapter->CurrentChannel;
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_PS_STATE: Answer->Value = Adapter->PSMode == 1 ? 2 : 1; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_INFO_F100: {
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwInquire(Adapter, INFO_TYPE_F100);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            // What the last counter frame said; the one just asked for comes later.
            Answer->Source = Adapter->TalliesBlock;
            Answer->Length = TALLIES_BLOCK_SIZE;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_SCAN_RESULTS: {
            if (!HwNewerFirmware(Adapter)) {
                NdisAcquireSpinLock(&Adapter->Lock);
                USHORT Status = HwInquire(Adapter, INFO_TYPE_SCAN);
                NdisReleaseSpinLock(&Adapter->Lock);
                if (Status != 0) return NDIS_STATUS_FAILURE;
            }
            Answer->Source = Adapter->ScanResultBlock;
            Answer->Length = 980;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_PRIV_LINK_STATE: Answer->Value = Adapter->LinkState; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_DEFAULT_KEY_ID: Answer->Value = Adapter->DefaultKeyId; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_KEY0: StageAnswer(Answer, Adapter->WepKeys[0], Adapter->WepReq == 7 ? 14 : 6); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_KEY1: StageAnswer(Answer, Adapter->WepKeys[1], 6); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_KEY2: StageAnswer(Answer, Adapter->WepKeys[2], 6); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_KEY3: StageAnswer(Answer, Adapter->WepKeys[3], 6); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_WEP_REQ: Answer->Value = Adapter->WepReq; return NDIS_STATUS_SUCCESS;
        case OID_PRIV_DRIVER_VERSION: Words(Answer, 3, 7, 8); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_IDENTITY_FD02:
            Words(Answer, Adapter->IdentityFd02[0], Adapter->IdentityFd02[1], Adapter->IdentityFd02[2]);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_IDENTITY_FD20:
            Words(Answer, Adapter->IdentityFd20[0], Adapter->IdentityFd20[1], Adapter->IdentityFd20[2]);
            return NDIS_STATUS_SUCCESS;
        case OID_PRIV_SURVEY_START: return SurveyStart(Adapter);
        case OID_PRIV_SURVEY_STOP: return SurveyStop(Adapter);
        case OID_PRIV_NULL: return NDIS_STATUS_SUCCESS;
        case OID_PRIV_COUNTERS: {
            ULONG Counters[6] = {Adapter->FramesSentOk,     Adapter->BytesSent,     Adapter->SendErrors,
                                 Adapter->FramesReceivedOk, Adapter->BytesReceived, Adapter->ReceiveErrors};
            StageAnswer(Answer, Counters, sizeof(Counters));
            return NDIS_STATUS_SUCCESS;
        }
        // maintenance
        case OID_PRIV_DOWNLOAD_STATUS: StageAnswer(Answer, &Adapter->DownloadFailed, 1); return NDIS_STATUS_SUCCESS;
        case OID_PRIV_MEMORY_READ: return MemoryRead(Adapter, Answer);
        case OID_PRIV_INDIRECT_READ: return IndirectRead(Adapter, Answer);
        case OID_PRIV_VENDOR_INFO: return VendorInfo(Adapter, Answer);
        default:
            return NDIS_STATUS_INVALID_OID;
    }
}
