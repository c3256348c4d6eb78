// Card restart and configuration push: the whole configuration held in the
// Adapter goes into the controller's records in a fixed order, and what the
// driver needs from the controller is read back.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

static USHORT ReadRecordWords(PADAPTER Adapter, USHORT Rid, USHORT Length, PUSHORT Record) {
    memset(Record, 0, RECORD_BUFFER_WORDS * sizeof(USHORT));
    Record[0] = Length;
    Record[1] = Rid;
    return HwReadRecord(Adapter, Record);
}

static BOOLEAN AllZero(const UCHAR* Bytes, int Count) {
    for (int Index = 0; Index < Count; Index++) {
        if (Bytes[Index] != 0) return FALSE;
    }
    return TRUE;
}

// Always returns 0: a controller that rejects a record still gets the rest.
USHORT CardApplyConfiguration(PADAPTER Adapter) {
    USHORT Record[RECORD_BUFFER_WORDS];

    if (ReadRecordWords(Adapter, RID_MAC_ADDRESS, RID_LEN_ADDRESS, Record) == 0) {
        memcpy(Adapter->PermanentAddress, &Record[2], 6);
    }
    if (AllZero(Adapter->CurrentAddress, 6)) {
        memcpy(Adapter->CurrentAddress, Adapter->PermanentAddress, 6);
    } else {
        HwSetMacAddress(Adapter, Adapter->CurrentAddress);
    }
    memset(Adapter->CurrentBssid, 0xFF, 6);
    HwSetRecordByte(Adapter, RID_NETWORK_MODE, Adapter->NetworkMode);
    HwSetDesiredSsid(Adapter);
    HwSetOwnSsid(Adapter);

    if (ReadRecordWords(Adapter, RID_CHANNEL_MASK, 2, Record) == 0) {
        Adapter->ChannelMask = (USHORT)(Record[2] & 0x3FFF);
    } else {
        Adapter->ChannelMask = 0x1FFF;
    }
    if (ReadRecordWords(Adapter, RID_FD11, 5, Record) == 0) {
        Adapter->Fd11Code = Record[3] & 0xFF;
    } else {
        Adapter->Fd11Code = 0x30;
    }
    // These three keep their previous values when the controller does not answer.
    if (ReadRecordWords(Adapter, RID_DOWNLOAD_BUFFER, 4, Record) == 0) {
        Adapter->DownloadBufPage = Record[2];
        Adapter->DownloadBufOffset = Record[3];
        Adapter->DownloadBufLength = Record[4];
    }
    if (ReadRecordWords(Adapter, RID_IDENTITY_FD02, 5, Record) == 0) {
        memcpy(Adapter->IdentityFd02, &Record[3], sizeof(Adapter->IdentityFd02));
    }
    if (ReadRecordWords(Adapter, RID_IDENTITY_FD20, 5, Record) == 0) {
        memcpy(Adapter->IdentityFd20, &Record[3], sizeof(Adapter->IdentityFd20));
    }

    // In infrastructure mode the channel comes from the factory address.
    if (Adapter->NetworkMode == 1) {
        Adapter->Channel = ((Adapter->PermanentAddress[4] * 256u + Adapter->PermanentAddress[5]) % 13) + 1;
    }
    HwSetRecordByte(Adapter, RID_OWN_CHANNEL, Adapter->Channel);
    HwSetRecordByte(Adapter, RID_AP_DENSITY, Adapter->APDensity);
    HwSetPowerSave(Adapter, Adapter->PSMode, Adapter->PSLevel);
    HwSetRecordName(Adapter, RID_STATION_NAME, Adapter->StationName, Adapter->StationNameLength);
    HwSetWepFlags(Adapter, Adapter->WepReq);
    HwSetRecordWord(Adapter, RID_DEFAULT_KEY_ID, RID_LEN_WORD, Adapter->DefaultKeyId);
    for (ULONG Slot = 0; Slot < WEP_KEY_SLOTS; Slot++) HwSetDefaultKey(Adapter, Slot);
    HwSetRecordWord(Adapter, RID_AUTHENTICATION_TYPE, 4, Adapter->AuthenticationType);
    HwSetRecordWord(Adapter, RID_FRAG_THRESHOLD, RID_LEN_WORD, Adapter->FragThresh);
    HwSetRecordWord(Adapter, RID_MEDIUM_RESERVATION, RID_LEN_WORD, Adapter->MediumReservation);
    HwSetTransmitRate(Adapter, Adapter->TransmitRate);
    HwSetRecordWord(Adapter, RID_SHORT_PREAMBLE, RID_LEN_WORD, Adapter->ShortPreamble);
    HwSetRecordWord(Adapter, RID_FCE0, RID_LEN_WORD, 0);
    return 0;
}

// Gives the controller three transmit buffers and a spare. Called with the
// controller's events masked.
USHORT CardAllocateTxBuffers(PADAPTER Adapter) {
    InitializeTxLists(Adapter);
    for (int Buffer = 0; Buffer <= TX_BUFFER_COUNT; Buffer++) {
        for (int Attempt = 0; Attempt < 10; Attempt++) {
            if (HwIssueCommandWithTimeout(Adapter, CMD_ALLOCATE, TX_BUFFER_SIZE) == 0) break;
            HwAckEvents(Adapter, EV_ALLOC);
            KeStallExecutionProcessor(50);
        }
        BOOLEAN Allocated = FALSE;
        for (int Wait = 0; Wait < 10 && !Allocated; Wait++) {
            Allocated = HwEventWait(Adapter, EV_ALLOC, 100) == 0;
        }
        if (!Allocated) return HW_ERR_TIMEOUT;
        USHORT FrameId = HwReadReg(Adapter, REG_ALLOC_FID);
        HwAckEvents(Adapter, EV_ALLOC);
        if (Buffer < TX_BUFFER_COUNT) {
            Adapter->TxBufferEntries[Buffer].FrameId = FrameId;
            TxFreeListAppend(Adapter, &Adapter->TxBufferEntries[Buffer]);
        } else {
            Adapter->SpareTxFid = FrameId;
            Adapter->SpareTxFree = 1;
        }
    }
    return 0;
}

static VOID CopyName(PUCHAR Destination, PUCHAR DestinationLength, const UCHAR* Source, UCHAR Length) {
    if (Length > NAME_FIELD_SIZE - 1) Length = NAME_FIELD_SIZE - 1;
    memcpy(Destination, Source, Length);
    *DestinationLength = Length;
}

// Resets the controller and brings it back with the current configuration.
// Called without Lock; takes it, and releases it around every NDIS call.
USHORT CardRestart(PADAPTER Adapter) {
    NdisAcquireSpinLock(&Adapter->Lock);
    HwWriteReg(Adapter, REG_INT_ENABLE, 0);
    HwAckEvents(Adapter, EV_ALL);
    HwResetController(Adapter);
    Adapter->SendQueueDrained = 0;

    // Waiting packets fail; packets the controller already took succeed.
    while (Adapter->SendQueueHead != NULL && Adapter->SendQueueCount > 0) {
        PNDIS_PACKET Packet = SendQueuePop(Adapter);
        Adapter->SendErrors++;
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMSendComplete(Adapter->MiniportHandle, Packet, NDIS_STATUS_FAILURE);
        NdisAcquireSpinLock(&Adapter->Lock);
    }
    Adapter->SendQueueHead = Adapter->SendQueueTail = NULL;
    Adapter->SendQueueCount = 0;
    while (Adapter->SendDoneHead != NULL) {
        PNDIS_PACKET Packet = SendDonePop(Adapter);
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMSendComplete(Adapter->MiniportHandle, Packet, NDIS_STATUS_SUCCESS);
        NdisAcquireSpinLock(&Adapter->Lock);
    }
    Adapter->SendDoneHead = Adapter->SendDoneTail = NULL;

    Adapter->VendorEncap = 0;
    Adapter->VendorInfoReceived = 0;
    Adapter->MonitorMode = 0;
    Adapter->CardRemoved = 0;
    Adapter->EapolState = 0;
    Adapter->RestartPending = 0;
    Adapter->FramesSentOk = Adapter->BytesSent = Adapter->SendErrors = 0;
    Adapter->FramesReceivedOk = Adapter->BytesReceived = Adapter->ReceiveErrors = 0;
    Adapter->TxInFlight = 0;
    Adapter->TxThroughput = Adapter->RxThroughput = 0;
    Adapter->TxBytesAtSample = Adapter->RxBytesAtSample = 0;
    Adapter->CurrentChannel = 10;

    CardApplyConfiguration(Adapter);
    Adapter->LinkLossTicks = 0;

    if (Adapter->NetworkMode == 3) {
        Adapter->LinkState = 1;
        Adapter->PortStatus = 1;
        Adapter->MediaDisconnected = 0;
        NdisReleaseSpinLock(&Adapter->Lock);
        IndicateMediaStatus(Adapter, NDIS_STATUS_MEDIA_CONNECT);
        NdisAcquireSpinLock(&Adapter->Lock);
    }

    USHORT Status = CardAllocateTxBuffers(Adapter);
    if (Status != 0) {
        NdisReleaseSpinLock(&Adapter->Lock);
        return Status;
    }
    HwWriteReg(Adapter, REG_INT_ENABLE, INT_ENABLE_MASK);
    Status = HwEnablePort(Adapter);
    if (Status != 0) {
        NdisReleaseSpinLock(&Adapter->Lock);
        return Status;
    }
    memset(Adapter->MonitorFilter, 0, 4);
    HwGetRecordName(Adapter, RID_OWN_SSID, Adapter->OwnSsid, &Adapter->OwnSsidLength);
    if (Adapter->NetworkMode != 1) {
        CopyName(Adapter->CurrentSsid, &Adapter->CurrentSsidLength, Adapter->Essid, Adapter->EssidLength);
    }
    NdisReleaseSpinLock(&Adapter->Lock);
    return 0;
}

USHORT CardEnterMonitorMode(PADAPTER Adapter) {
    NdisAcquireSpinLock(&Adapter->Lock);
    USHORT Status = HwMonitor(Adapter, 0x0B);
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Status != 0) {
        CardRestart(Adapter);
        return Status;
    }
    Adapter->MonitorMode = 1;
    return 0;
}

USHORT CardLeaveMonitorMode(PADAPTER Adapter) {
    Adapter->MonitorMode = 0;
    NdisAcquireSpinLock(&Adapter->Lock);
    USHORT Status = HwMonitor(Adapter, 0x0F);
    NdisReleaseSpinLock(&Adapter->Lock);
    USHORT Restart = CardRestart(Adapter);
    return Status != 0 ? Status : Restart;
}

// Ends a site survey on older firmware: the saved name and mode come back and
// the card restarts with them.
USHORT CardRestoreNetwork(PADAPTER Adapter) {
    UCHAR Length = Adapter->SavedEssidLength;
    if (Length > NAME_FIELD_SIZE - 1) Length = NAME_FIELD_SIZE - 1;
    memcpy(Adapter->Essid, Adapter->SavedEssid, Length);
    Adapter->EssidLength = Length;
    Adapter->NetworkMode = Adapter->SavedNetworkMode;
    if (!HwNewerFirmware(Adapter)) {
        NdisAcquireSpinLock(&Adapter->Lock);
        HwDisablePort(Adapter);
        NdisReleaseSpinLock(&Adapter->Lock);
    }
    return CardRestart(Adapter);
}
