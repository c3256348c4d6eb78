// Set requests: the general and 802.3 sets, and the 802.11 sets of the
// wireless configuration service. Most 802.11 sets only stage a setting and
// raise RestartPending; the SSID set commits everything with a card restart.
// While WinXP is 0 the configuring 802.11 sets succeed and change nothing.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"
#include "driver/oid/oid.h"

NDIS_STATUS RefuseSet(OID_SET* Request, NDIS_STATUS Status, ULONG Read, ULONG Needed) {
    *Request->BytesRead = Read;
    *Request->BytesNeeded = Needed;
    return Status;
}

BOOLEAN SetTooShort(OID_SET* Request, ULONG Needed, NDIS_STATUS* Status) {
    if (Request->Length >= Needed) return FALSE;
    *Status = RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, Needed);
    return TRUE;
}

ULONG SetUlong(const OID_SET* Request) {
    ULONG Value;
    memcpy(&Value, Request->Buffer, sizeof(Value));
    return Value;
}

static VOID ClearKeySlots(PADAPTER Adapter) {
    for (int Slot = 0; Slot < WEP_KEY_SLOTS; Slot++) memset(Adapter->WepKeys[Slot], 0, 13);
}

static VOID IndicateDisconnect(PADAPTER Adapter) {
    Adapter->MediaDisconnected = 1;
    IndicateMediaStatus(Adapter, NDIS_STATUS_MEDIA_DISCONNECT);
}

static NDIS_STATUS SetSsid(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, sizeof(NDIS_802_11_SSID), &Status)) return Status;
    NDIS_802_11_SSID Ssid;
    memcpy(&Ssid, Request->Buffer, sizeof(Ssid));
    if (Ssid.SsidLength > 32) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
    if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
    if (Ssid.SsidLength == 0) {
        memcpy(Adapter->Essid, "ANY", 4);
        Adapter->EssidLength = 3;
        Adapter->RestartPending = 1;
    } else {
        // The network already joined keeps its link; another one drops it now.
        BOOLEAN Joined = Ssid.SsidLength == Adapter->CurrentSsidLength &&
                         strncmp((const char*)Ssid.Ssid, (const char*)Adapter->CurrentSsid, Ssid.SsidLength) == 0;
        if (!Joined) {
            Adapter->RestartPending = 1;
            if (Adapter->MediaDisconnected != 1) {
                Adapter->LinkState = 2;
                Adapter->PortStatus = 2;
                IndicateDisconnect(Adapter);
            }
        }
        memcpy(Adapter->Essid, Ssid.Ssid, Ssid.SsidLength);
        Adapter->EssidLength = (UCHAR)Ssid.SsidLength;
    }
    if (!(Adapter->NetworkMode == 1 && Adapter->MediaDisconnected != 1 && Adapter->RestartPending != 1)) {
        CardRestart(Adapter);
    }
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS AddWep(PADAPTER Adapter, OID_SET* Request) {
    NDIS_STATUS Status;
    if (SetTooShort(Request, 12, &Status)) return Status;
    if (Adapter->WinXP == 0 && Adapter->EapolState != 2) return NDIS_STATUS_SUCCESS;
    ULONG KeyIndex, KeyLength;
    memcpy(&KeyIndex, Request->Buffer + 4, 4);
    memcpy(&KeyLength, Request->Buffer + 8, 4);
    if ((KeyIndex & 0x7FFFFFF0u) != 0) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
    // The key material must be there before anything changes.
    ULONG Size = KeyLength == 13 ? 13 : 5;
    if (SetTooShort(Request, 12 + Size, &Status)) return Status;
    const UCHAR* Key = Request->Buffer + 12;

    NdisAcquireSpinLock(&Adapter->Lock);
    ULONG Index = KeyIndex & 0xF;
    ULONG OldWepReq = Adapter->WepReq;
    ULONG WepReq = KeyLength == 5 ? 3 : KeyLength == 13 ? 7 : 0;
    if (WepReq != Adapter->WepReq) Adapter->RestartPending = 1;
    Adapter->WepReq = WepReq;
    ULONG Slot = Index <= 3 ? Index : 0;
    if (memcmp(Adapter->WepKeys[Slot], Key, Size) != 0 || Index >= 4) Adapter->RestartPending = 1;
    memcpy(Adapter->WepKeys[Slot], Key, Size);
    Adapter->WepKeys[Slot][Size] = 0;

    BOOLEAN Push = Adapter->AuthenticationType != 1 || Adapter->WepReq != OldWepReq;
    USHORT Result = 0;
    if (KeyIndex & 0x80000000u) {
        if (Adapter->DefaultKeyId != Index) Adapter->RestartPending = 1;
        Adapter->DefaultKeyId = Index;
        WepRekey(Adapter, WEP_SELECT_ADD_WEP);
        if (Push) {
            HwSetRecordWord(Adapter, RID_DEFAULT_KEY_ID, RID_LEN_WORD, Adapter->DefaultKeyId);
            Result = HwSetWepFlags(Adapter, Adapter->WepReq);
        }
    }
    if (Push) {
        if (Index <= 3) HwSetDefaultKey(Adapter, Index);
        HwSetRecordWord(Adapter, RID_AUTHENTICATION_TYPE, 4, Adapter->AuthenticationType);
        Result = HwEnablePort(Adapter);
    }
    NdisReleaseSpinLock(&Adapter->Lock);
    return Result != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS Disassociate(PADAPTER Adapter) {
    if (Adapter->WinXP == 0) return NDIS_STATUS_ADAPTER_NOT_READY;
    Adapter->RestartPending = 1;
    Adapter->LinkState = 2;
    Adapter->PortStatus = 2;
    if (Adapter->MediaDisconnected != 1) {
        IndicateDisconnect(Adapter);
        if (Adapter->NetworkMode == 1) {
            NdisAcquireSpinLock(&Adapter->Lock);
            HwDisablePort(Adapter);
            NdisReleaseSpinLock(&Adapter->Lock);
        }
    }
    ClearKeySlots(Adapter);
    Adapter->VendorInfoReceived = 0;
    return NDIS_STATUS_ADAPTER_NOT_READY;
}

static VOID ClearBssList(PADAPTER Adapter) {
    Adapter->BssList.NumberOfItems = 0;
    for (int Slot = 0; Slot < BSS_LIST_SLOTS; Slot++) memset(Adapter->BssList.Bssid[Slot].MacAddress, 0, 6);
    Adapter->TickCount = 0;
}

static NDIS_STATUS ListScan(PADAPTER Adapter, OID_SET* Request) {
    if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
    Adapter->ScanRequestCount = (UCHAR)(Adapter->ScanRequestCount + 1);
    BOOLEAN Third = Adapter->ScanRequestCount % 3 == 0;
    if (HwNewerFirmware(Adapter)) {
        if (Third) ClearBssList(Adapter);
        BOOLEAN Start;
        if (Adapter->MediaDisconnected == 1 && Adapter->ScanState != SCAN_SURVEY) {
            if (Third) ClearBssList(Adapter);
            Start = TRUE;
        } else {
            // Connected, or surveying: only when the link is quiet.
            Start = Adapter->TxThroughput <= 12 && Adapter->RxThroughput <= 12 && Adapter->SendQueueCount < 40 &&
                    Adapter->TxInFlight <= 3 && Adapter->ScanState != SCAN_SURVEY;
        }
        if (Start) {
            NdisAcquireSpinLock(&Adapter->Lock);
            HwRequestScan(Adapter);
            NdisReleaseSpinLock(&Adapter->Lock);
        }
        return NDIS_STATUS_SUCCESS;
    }
    if (Adapter->MediaDisconnected != 1) return NDIS_STATUS_SUCCESS;
    if (Adapter->ScanState == SCAN_EMPTY_SSID || Adapter->ScanState == SCAN_SURVEY) return NDIS_STATUS_SUCCESS;
    NdisAcquireSpinLock(&Adapter->Lock);
    ClearBssList(Adapter);
    Adapter->ScanState = SCAN_EMPTY_SSID;
    HwDisablePort(Adapter);
    USHORT Status = HwSetEmptyDesiredSsid(Adapter);
    HwEnablePort(Adapter);
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Status != 0) return RefuseSet(Request, NDIS_STATUS_FAILURE, 4, 0);
    return NDIS_STATUS_SUCCESS;
}

static NDIS_STATUS StandardSetBranch(PADAPTER Adapter, NDIS_OID Oid, OID_SET* Request) {
    NDIS_STATUS Status;
    switch (Oid) {
        case OID_GEN_CURRENT_PACKET_FILTER: {
            if (Request->Length != 4) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
            ULONG Filter = SetUlong(Request);
            if ((Filter & 0xF074) != 0) return RefuseSet(Request, NDIS_STATUS_NOT_SUPPORTED, 4, 0);
            Adapter->PacketFilter = Filter;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_GEN_CURRENT_LOOKAHEAD: {
            if (Request->Length != 4 || SetUlong(Request) > 1508) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
            Adapter->CurrentLookahead = SetUlong(Request);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_3_CURRENT_ADDRESS: {
            if (SetTooShort(Request, 6, &Status)) return Status;
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Result = HwSetMacAddress(Adapter, Request->Buffer);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Result != 0) return NDIS_STATUS_FAILURE;
            memcpy(Adapter->CurrentAddress, Request->Buffer, 6);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_3_MULTICAST_LIST: {
            if (Request->Length % 6 != 0) return RefuseSet(Request, NDIS_STATUS_INVALID_LENGTH, 0, 0);
            // More addresses than announced are refused, never stored past the list.
            if (Request->Length / 6 > MULTICAST_LIST_MAX) return RefuseSet(Request, NDIS_STATUS_MULTICAST_FULL, 0, 0);
            Adapter->MulticastCount = (USHORT)(Request->Length / 6);
            if (Request->Length != 0) memcpy(Adapter->MulticastList, Request->Buffer, Request->Length);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_BSSID:
            Adapter->RestartPending = 1;
            return NDIS_STATUS_SUCCESS;
        case OID_802_11_SSID:
            return SetSsid(Adapter, Request);
        case OID_802_11_INFRASTRUCTURE_MODE: {
            if (SetTooShort(Request, 1, &Status)) return Status;
            if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
            ULONG Mode = Request->Buffer[0] == 0 ? 0 : 1;
            if (Mode != Adapter->NetworkMode) Adapter->RestartPending = 1;
            Adapter->NetworkMode = Mode;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_AUTHENTICATION_MODE: {
            if (SetTooShort(Request, 4, &Status)) return Status;
            if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
            ULONG Mode = SetUlong(Request);
            if (Mode > 2) return NDIS_STATUS_SUCCESS;
            ULONG Type = Mode + 1;
            if (Type != Adapter->AuthenticationType) Adapter->RestartPending = 1;
            Adapter->AuthenticationType = Type;
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_WEP_STATUS: {
            if (SetTooShort(Request, 4, &Status)) return Status;
            if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
            ULONG Value = SetUlong(Request);
            if (Value == Ndis802_11WEPEnabled) {
                if (Adapter->WepReq == 0) Adapter->RestartPending = 1;  // the next ADD_WEP sets WepReq
            } else if (Value == Ndis802_11WEPDisabled) {
                if (Adapter->WepReq != 0) Adapter->RestartPending = 1;
                Adapter->WepReq = 0;
            }
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_ADD_WEP:
            return AddWep(Adapter, Request);
        case OID_802_11_REMOVE_WEP: {
            if (SetTooShort(Request, 4, &Status)) return Status;
            if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
            Adapter->RestartPending = 1;
            ULONG Index = SetUlong(Request) & 0xF;
            if (Index <= 3) memset(Adapter->WepKeys[Index], 0, 13);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_DISASSOCIATE:
            return Disassociate(Adapter);
        case OID_802_11_BSSID_LIST_SCAN:
            return ListScan(Adapter, Request);
        case OID_802_11_RELOAD_DEFAULTS:
            if (Adapter->WinXP == 0) return NDIS_STATUS_SUCCESS;
            Adapter->RestartPending = 1;
            ClearKeySlots(Adapter);
            Adapter->WepReq = 0;
            return NDIS_STATUS_SUCCESS;
        case OID_802_11_NETWORK_TYPE_IN_USE:
        case OID_802_11_CONFIGURATION:
            return NDIS_STATUS_SUCCESS;
        default:
            return PrivateSetBranch(Adapter, Oid, Request);
    }
}

NDIS_STATUS NDIS_API MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                            PVOID InformationBuffer, ULONG InformationBufferLength,
                                            PULONG BytesRead, PULONG BytesNeeded) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    OID_SET Request;
    Request.Buffer = (const UCHAR*)InformationBuffer;
    Request.Length = InformationBufferLength;
    Request.BytesRead = BytesRead;
    Request.BytesNeeded = BytesNeeded;
    NDIS_STATUS Status = StandardSetBranch(Adapter, Oid, &Request);
    if (Status == NDIS_STATUS_INVALID_OID) return RefuseSet(&Request, NDIS_STATUS_INVALID_OID, 0, 0);
    if (Status != NDIS_STATUS_SUCCESS) return Status;
    *BytesRead = InformationBufferLength;
    *BytesNeeded = 0;
    return NDIS_STATUS_SUCCESS;
}
