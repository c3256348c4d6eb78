// Query requests: the answer is staged first, then copied into the caller's
// buffer if it fits. Every request is finished before the handler returns.
#include <string.h>

#include "driver/hw/hw.h"
#include "driver/oid/oid.h"

const NDIS_OID SupportedOids[SUPPORTED_OID_COUNT] = {
    OID_GEN_MAC_OPTIONS, OID_GEN_SUPPORTED_LIST, OID_GEN_HARDWARE_STATUS, OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAXIMUM_FRAME_SIZE, OID_GEN_MAXIMUM_TOTAL_SIZE, OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE, OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE, OID_GEN_VENDOR_ID, OID_GEN_VENDOR_DESCRIPTION, OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_DRIVER_VERSION, OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_MEDIA_SUPPORTED, OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_PROTOCOL_OPTIONS, OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_MAXIMUM_SEND_PACKETS, OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER, OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS, OID_802_3_MAXIMUM_LIST_SIZE, OID_802_3_MULTICAST_LIST,
    OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION, OID_802_3_XMIT_MORE_COLLISIONS,
    // private configuration and status
    0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFB, 0xFFFFFFFA, 0xFFFFFFF9, 0xFFFFFFF8, 0xFFFFFFF7, 0xFFFFFFF6,
    0xFFFFFFF5, 0xFFFFFFF4, 0xFFFFFFF3, 0xFFFFFFF2, 0xFFFFFFEF, 0xFFFFFFEE, 0xFFFFFFED, 0xFFFFFFEC, 0xFFFFFFEB,
    0xFFFFFFDF, 0xFFFFFFDE, 0xFFFFFFDC, 0xFFFFFFDB, 0xFFFFFFDA, 0xFFFFFFD9, 0xFFFFFFD8, 0xFFFFFFD7, 0xFFFFFFD6,
    0xFFFFFFD5, 0xFFFFFFD4, 0xFFFFFFD3, 0xFFFFFFD2, 0xFFFFFFD1, 0xFFFFFFCF, 0xFFFFFFCE, 0xFFFFFFCD, 0xFFFFFFBF,
    0xFFFFFFBE, 0xFFFFFFBD, 0xFFFFFFBC, 0xFFFFFFBB, 0xFFFFFFAF, 0xFFFFFFAE, 0xFFFFFFAC, 0xFFFFFFAB, 0xFFFFFFA9,
    0xFFFFFFA8, 0xFFFFFFA7, 0xFFFFFFA6, 0xFFFFFFA5, 0xFFFFFF9F, 0xFFFFFF7F, 0xFFFFFF7E, 0xFFFFFF7D, 0xFFFFFF7C,
    0xFFFFFF7B, 0xFFFFFF7A, 0xFFFFFF79, 0xFFFFFF6F, 0xFFFFFF6E, 0xFFFFFF6D, 0xFFFFFF6C,
    // private maintenance
    0xFFFFFF6B, 0xFFFFFF6A, 0xFFFFFF68, 0xFFFFFF67, 0xFFFFFF66, 0xFFFFFF65, 0xFFFFFF64, 0xFFFFFF5B, 0xFFFFFF5A,
    0xFFFFFF63, 0xFFFFFF62,
    // 802.11
    OID_802_11_BSSID, OID_802_11_SSID, OID_802_11_NETWORK_TYPES_SUPPORTED, OID_802_11_NETWORK_TYPE_IN_USE,
    OID_802_11_POWER_MODE, OID_802_11_TX_POWER_LEVEL, OID_802_11_RSSI, OID_802_11_RSSI_TRIGGER,
    OID_802_11_BSSID_LIST, OID_802_11_BSSID_LIST_SCAN, OID_802_11_INFRASTRUCTURE_MODE,
    OID_802_11_FRAGMENTATION_THRESHOLD, OID_802_11_RTS_THRESHOLD, OID_802_11_NUMBER_OF_ANTENNAS,
    OID_802_11_RX_ANTENNA_SELECTED, OID_802_11_TX_ANTENNA_SELECTED, OID_802_11_SUPPORTED_RATES,
    OID_802_11_DESIRED_RATES, OID_802_11_CONFIGURATION, OID_802_11_STATISTICS, OID_802_11_ADD_WEP,
    OID_802_11_WEP_STATUS, OID_802_11_REMOVE_WEP, OID_802_11_DISASSOCIATE, OID_802_11_AUTHENTICATION_MODE,
    OID_802_11_PRIVACY_FILTER, OID_802_11_RELOAD_DEFAULTS,
    // private, listed last
    0xFFFFFF50, 0xFFFFFF3C,
};

static const UCHAR SupportedRates[8] = {0x82, 0x84, 0x8B, 0x96, 0, 0, 0, 0};

VOID StageAnswer(OID_ANSWER* Answer, const VOID* Bytes, ULONG Length) {
    memset(Answer->Scratch, 0, sizeof(Answer->Scratch));
    if (Bytes != NULL && Length != 0) memcpy(Answer->Scratch, Bytes, Length);
    Answer->Source = Answer->Scratch;
    Answer->Length = Length;
}

static ULONG LinkSpeed(ULONG TransmitRate) {
    switch (TransmitRate) {
        case 1: return 10000;
        case 2: return 20000;
        case 4: return 55000;
        default: return 110000;
    }
}

static LONG RssiFromQuality(USHORT Quality) {
    if (Quality > 40) return -55;
    if (Quality > 30) return -65;
    if (Quality > 20) return -70;
    if (Quality > 10) return -75;
    if (Quality > 5) return -85;
    return -90;
}

// Runs the branch of Oid. Returns NDIS_STATUS_SUCCESS with the answer staged,
// NDIS_STATUS_INVALID_OID when there is no branch, or the status that ends
// the request at once.
static NDIS_STATUS QueryBranch(PADAPTER Adapter, NDIS_OID Oid, OID_ANSWER* Answer) {
    switch (Oid) {
        case OID_GEN_SUPPORTED_LIST:
            Answer->Source = SupportedOids;
            Answer->Length = sizeof(SupportedOids);
            return NDIS_STATUS_SUCCESS;
        case OID_GEN_HARDWARE_STATUS: Answer->Value = NdisHardwareStatusReady; return NDIS_STATUS_SUCCESS;
        case OID_GEN_MEDIA_SUPPORTED:
        case OID_GEN_MEDIA_IN_USE: Answer->Value = NdisMedium802_3; return NDIS_STATUS_SUCCESS;
        case OID_GEN_MAXIMUM_LOOKAHEAD:
        case OID_GEN_CURRENT_LOOKAHEAD: Answer->Value = 1508; return NDIS_STATUS_SUCCESS;
        case OID_GEN_MAXIMUM_FRAME_SIZE: Answer->Value = 1500; return NDIS_STATUS_SUCCESS;
        case OID_GEN_MAXIMUM_TOTAL_SIZE:
        case OID_GEN_TRANSMIT_BLOCK_SIZE:
        case OID_GEN_RECEIVE_BLOCK_SIZE: Answer->Value = 1514; return NDIS_STATUS_SUCCESS;
        case OID_GEN_TRANSMIT_BUFFER_SPACE:
        case OID_GEN_RECEIVE_BUFFER_SPACE: Answer->Value = 12112; return NDIS_STATUS_SUCCESS;
        case OID_GEN_LINK_SPEED: Answer->Value = LinkSpeed(Adapter->TransmitRate); return NDIS_STATUS_SUCCESS;
        case OID_GEN_VENDOR_ID: {
            UCHAR Id[4] = {0x01, Adapter->PermanentAddress[1], Adapter->PermanentAddress[2], 0};
            StageAnswer(Answer, Id, 4);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_GEN_VENDOR_DESCRIPTION: {
            ULONG Length = (ULONG)strnlen((const char*)Adapter->VendorDescription, VENDOR_DESCRIPTION_SIZE - 1);
            StageAnswer(Answer, Adapter->VendorDescription, Length);
            Answer->Length = Length + 1;  // the text and its NUL
            return NDIS_STATUS_SUCCESS;
        }
        case OID_GEN_DRIVER_VERSION: {
            USHORT Version = 0x0400;
            StageAnswer(Answer, &Version, 2);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_GEN_VENDOR_DRIVER_VERSION: Answer->Value = 0x00037800; return NDIS_STATUS_SUCCESS;
        case OID_GEN_MAC_OPTIONS:
            Answer->Value = NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;
            return NDIS_STATUS_SUCCESS;
        case OID_GEN_MEDIA_CONNECT_STATUS:
            Answer->Value = Adapter->MediaDisconnected == 0 ? NdisMediaStateConnected : NdisMediaStateDisconnected;
            return NDIS_STATUS_SUCCESS;
        case OID_GEN_MAXIMUM_SEND_PACKETS: Answer->Value = 8; return NDIS_STATUS_SUCCESS;
        case OID_GEN_XMIT_OK: Answer->Value = Adapter->FramesSentOk; return NDIS_STATUS_SUCCESS;
        case OID_GEN_RCV_OK: Answer->Value = Adapter->FramesReceivedOk; return NDIS_STATUS_SUCCESS;
        case OID_GEN_XMIT_ERROR: Answer->Value = Adapter->SendErrors; return NDIS_STATUS_SUCCESS;
        case OID_GEN_RCV_ERROR: Answer->Value = Adapter->ReceiveErrors; return NDIS_STATUS_SUCCESS;
        case OID_GEN_RCV_NO_BUFFER:
        case OID_802_3_RCV_ERROR_ALIGNMENT:
        case OID_802_3_XMIT_ONE_COLLISION:
        case OID_802_3_XMIT_MORE_COLLISIONS: Answer->Value = 1; return NDIS_STATUS_SUCCESS;
        case OID_802_3_PERMANENT_ADDRESS: StageAnswer(Answer, Adapter->PermanentAddress, 6); return NDIS_STATUS_SUCCESS;
        case OID_802_3_CURRENT_ADDRESS: StageAnswer(Answer, Adapter->CurrentAddress, 6); return NDIS_STATUS_SUCCESS;
        case OID_802_3_MAXIMUM_LIST_SIZE: Answer->Value = Adapter->MaxMulticastList; return NDIS_STATUS_SUCCESS;

        case OID_802_11_BSSID: {
            if (Adapter->LinkState != 1) return NDIS_STATUS_ADAPTER_NOT_READY;
            UCHAR Bssid[6];
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwGetCurrentBssid(Adapter, Bssid);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            StageAnswer(Answer, Bssid, 6);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_SSID: {
            NDIS_802_11_SSID Ssid;
            memset(&Ssid, 0, sizeof(Ssid));
            ULONG Length = Adapter->CurrentSsidLength > 32 ? 32 : Adapter->CurrentSsidLength;
            Ssid.SsidLength = Length;
            memcpy(Ssid.Ssid, Adapter->CurrentSsid, Length);
            StageAnswer(Answer, &Ssid, sizeof(Ssid));
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_NETWORK_TYPES_SUPPORTED: {
            NDIS_802_11_NETWORK_TYPE_LIST List;
            List.NumberOfItems = 1;
            List.NetworkType[0] = Ndis802_11DS;
            StageAnswer(Answer, &List, sizeof(List));
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_NETWORK_TYPE_IN_USE: Answer->Value = Ndis802_11DS; return NDIS_STATUS_SUCCESS;
        case OID_802_11_RSSI: {
            UCHAR Quality[6];
            NdisAcquireSpinLock(&Adapter->Lock);
            USHORT Status = HwGetLinkQuality(Adapter, Quality);
            NdisReleaseSpinLock(&Adapter->Lock);
            if (Status != 0) return NDIS_STATUS_FAILURE;
            LONG Rssi = RssiFromQuality((USHORT)(Quality[0] | (Quality[1] << 8)));
            memcpy(&Answer->Value, &Rssi, 4);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_RSSI_TRIGGER:
        case OID_802_11_STATISTICS: Answer->Value = 0; return NDIS_STATUS_SUCCESS;
        case OID_802_11_INFRASTRUCTURE_MODE:
            Answer->Value = (Adapter->NetworkMode == 0 || Adapter->NetworkMode == 3) ? Ndis802_11IBSS
                                                                                     : Ndis802_11Infrastructure;
            return NDIS_STATUS_SUCCESS;
        case OID_802_11_SUPPORTED_RATES: StageAnswer(Answer, SupportedRates, 8); return NDIS_STATUS_SUCCESS;
        case OID_802_11_CONFIGURATION: {
            NDIS_802_11_CONFIGURATION Configuration;
            memset(&Configuration, 0, sizeof(Configuration));
            Configuration.Length = sizeof(Configuration);
            Configuration.BeaconPeriod = 100;
            Configuration.DSConfig = (Adapter->CurrentChannel - 1) * 5000 + 2412000;
            StageAnswer(Answer, &Configuration, sizeof(Configuration));
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_BSSID_LIST: {
            // Straight from the list, as it stands at this moment.
            ULONG Items = Adapter->BssList.NumberOfItems;
            if (Items > BSS_LIST_SLOTS) Items = BSS_LIST_SLOTS;
            // Every slot is a whole NDIS_WLAN_BSSID, whatever its Length field says.
            Answer->Source = &Adapter->BssList;
            Answer->Length = 4 + Items * sizeof(NDIS_WLAN_BSSID);
            return NDIS_STATUS_SUCCESS;
        }
        case OID_802_11_AUTHENTICATION_MODE:
            switch (Adapter->AuthenticationType) {
                case 2: Answer->Value = Ndis802_11AuthModeShared; break;
                case 3: Answer->Value = Ndis802_11AuthModeAutoSwitch; break;
                default: Answer->Value = Ndis802_11AuthModeOpen; break;
            }
            return NDIS_STATUS_SUCCESS;
        case OID_802_11_PRIVACY_FILTER: Answer->Value = Ndis802_11PrivFilterAcceptAll; return NDIS_STATUS_SUCCESS;
        case OID_802_11_WEP_STATUS:
            Answer->Value = (Adapter->WepReq == 3 || Adapter->WepReq == 7) ? Ndis802_11WEPEnabled : Ndis802_11WEPDisabled;
            return NDIS_STATUS_SUCCESS;
        default:
            return PrivateQueryBranch(Adapter, Oid, Answer);
    }
}

NDIS_STATUS NDIS_API MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                              PVOID InformationBuffer, ULONG InformationBufferLength,
                                              PULONG BytesWritten, PULONG BytesNeeded) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    OID_ANSWER Answer;
    Answer.Value = 0;
    Answer.Source = &Answer.Value;
    Answer.Length = 4;

    NDIS_STATUS Status = QueryBranch(Adapter, Oid, &Answer);
    if (Status != NDIS_STATUS_SUCCESS) return Status;
    if (Answer.Length > InformationBufferLength) {
        *BytesNeeded = Answer.Length;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    memcpy(InformationBuffer, Answer.Source, Answer.Length);
    *BytesWritten = Answer.Length;
    return NDIS_STATUS_SUCCESS;
}
