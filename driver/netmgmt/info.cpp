// Information frames from the controller: the counter block, link status
// reports and scan results, and the BSS list built from the scan results.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

static USHORT Word(const UCHAR* Bytes, ULONG Index) {
    return (USHORT)(Bytes[2 * Index] | (Bytes[2 * Index + 1] << 8));
}

static VOID PutWord(PUCHAR Bytes, ULONG Index, USHORT Value) {
    Bytes[2 * Index] = (UCHAR)(Value & 0xFF);
    Bytes[2 * Index + 1] = (UCHAR)(Value >> 8);
}

static VOID CopyName(PUCHAR Destination, PUCHAR DestinationLength, const UCHAR* Source, UCHAR Length) {
    if (Length > NAME_FIELD_SIZE - 1) Length = NAME_FIELD_SIZE - 1;
    memcpy(Destination, Source, Length);
    *DestinationLength = Length;
}

// Bytes of a scan block that hold data read from the controller: a length
// word of Len means Len + 1 words, at most 491 of them.
static ULONG ScanBytesRead(USHORT Length) {
    return Length < 500 ? 2u * (Length + 1u) : 2u * 491u;
}

VOID UpdateBssList(PADAPTER Adapter, const NDIS_WLAN_BSSID* Slot) {
    MIREL_BSS_LIST* List = &Adapter->BssList;
    ULONG Index = BSS_LIST_SLOTS;
    for (ULONG Search = 0; Search < BSS_LIST_SLOTS; Search++) {
        if (memcmp(List->Bssid[Search].MacAddress, Slot->MacAddress, 6) == 0) {
            Index = Search;
            break;
        }
    }
    if (Index == BSS_LIST_SLOTS) {
        // New BSS. Once nineteen are listed every further one lands in the
        // twentieth slot, which the count does not cover.
        Index = List->NumberOfItems < BSS_LIST_SLOTS ? List->NumberOfItems : BSS_LIST_SLOTS - 1;
        List->NumberOfItems += 1;
        if (List->NumberOfItems >= BSS_LIST_SLOTS) List->NumberOfItems = BSS_LIST_VISIBLE;
    }
    NDIS_WLAN_BSSID* Entry = &List->Bssid[Index];
    memcpy(Entry->MacAddress, Slot->MacAddress, 6);
    ULONG SsidLength = Slot->Ssid.SsidLength;
    if (SsidLength == 0 || SsidLength > 32) SsidLength = 32;
    Entry->Ssid.SsidLength = SsidLength;
    memcpy(Entry->Ssid.Ssid, Slot->Ssid.Ssid, SsidLength);
    Entry->Privacy = Slot->Privacy;
    Entry->Rssi = Slot->Rssi;
    Entry->NetworkTypeInUse = Slot->NetworkTypeInUse;
    Entry->Configuration.Length = Slot->Configuration.Length;
    Entry->Configuration.BeaconPeriod = Slot->Configuration.BeaconPeriod;
    Entry->Configuration.ATIMWindow = Slot->Configuration.ATIMWindow;
    Entry->Configuration.DSConfig = Slot->Configuration.DSConfig;
    Entry->InfrastructureMode = Slot->InfrastructureMode;
    memcpy(Entry->SupportedRates, Slot->SupportedRates, 8);
    Entry->Length = sizeof(NDIS_WLAN_BSSID);
}

static UCHAR QualityFromRssi(LONG Rssi) {
    if (Rssi >= -55) return 65;
    if (Rssi >= -65) return 55;
    if (Rssi >= -70) return 40;
    if (Rssi >= -75) return 30;
    if (Rssi >= -85) return 20;
    if (Rssi >= -90) return 10;
    return 5;
}

// Walks ScanResultBlock and enters each BSS into the list. Only entries that
// lie wholly inside what was read, and inside the block, are looked at.
VOID BuildBssListFromScan(PADAPTER Adapter) {
    static const UCHAR Rates[8] = {0x82, 0x84, 0x8B, 0x96, 0, 0, 0, 0};
    PUCHAR Block = Adapter->ScanResultBlock;
    USHORT Length = Word(Block, 0);
    if (Length <= 3) return;
    ULONG Count = (Length - 3u) / 31u;
    if (Count >= BSS_LIST_SLOTS) Count = BSS_LIST_VISIBLE;
    ULONG Readable = ScanBytesRead(Length);
    if (Readable > SCAN_RESULT_BLOCK_SIZE) Readable = SCAN_RESULT_BLOCK_SIZE;
    ULONG Fitting = (Readable - SCAN_ENTRIES_OFFSET) / SCAN_ENTRY_SIZE;
    if (Count > Fitting) Count = Fitting;
    BOOLEAN Newer = HwNewerFirmware(Adapter);

    for (ULONG Index = 0; Index < Count; Index++) {
        PUCHAR Entry = Block + SCAN_ENTRIES_OFFSET + SCAN_ENTRY_SIZE * Index;
        NDIS_WLAN_BSSID Slot;
        memset(&Slot, 0, sizeof(Slot));
        Slot.Length = sizeof(NDIS_WLAN_BSSID);
        memcpy(Slot.MacAddress, Entry + 6, 6);
        ULONG SsidLength = Entry[16];
        if (SsidLength == 0 || SsidLength > 32) SsidLength = 32;
        Slot.Ssid.SsidLength = SsidLength;
        memcpy(Slot.Ssid.Ssid, Entry + 18, SsidLength);
        Slot.Privacy = (Entry[14] >> 4) & 1;

        if (Newer) {
            Slot.Rssi = (signed char)Entry[4];
        } else {
            LONG Signal = Entry[4];
            if (Signal == 0) continue;
            if (Signal < 49) Signal = 49;
            if (Signal > 154) Signal = 154;
            Slot.Rssi = Signal - 164;
        }
        Entry[4] = QualityFromRssi(Slot.Rssi);
        Entry[5] = 0;

        Slot.NetworkTypeInUse = Ndis802_11DS;
        Slot.Configuration.Length = sizeof(NDIS_802_11_CONFIGURATION);
        Slot.Configuration.BeaconPeriod = Word(Entry, 6);
        Slot.Configuration.ATIMWindow = 0;
        Slot.Configuration.DSConfig = Entry[0] * 5000u + 2407000u;
        Slot.InfrastructureMode = (Entry[14] & 3) == 2 ? Ndis802_11IBSS : Ndis802_11Infrastructure;
        memcpy(Slot.SupportedRates, Rates, 8);
        if (Slot.Configuration.BeaconPeriod == 0) continue;
        UpdateBssList(Adapter, &Slot);
    }
}

// Copies a host-scan frame's 64-byte entries into ScanResultBlock as 62-byte
// entries, never beyond what the frame held or the block can take.
VOID ConvertHostScanResults(PADAPTER Adapter, const UCHAR* Frame) {
    USHORT Length = Word(Frame, 0);
    if (Length <= 3) return;
    ULONG Count = (Length - 3u) / 32u;
    if (Count >= BSS_LIST_SLOTS) Count = BSS_LIST_VISIBLE;
    ULONG FrameBytes = Length < 1000 ? 2u * (Length + 1u) : 2u * 981u;
    PUCHAR Block = Adapter->ScanResultBlock;
    memcpy(Block, Frame, SCAN_ENTRIES_OFFSET);
    ULONG Position = SCAN_ENTRIES_OFFSET;
    for (ULONG Index = 0; Index < Count; Index++) {
        ULONG Source = SCAN_ENTRIES_OFFSET + HOST_SCAN_ENTRY_SIZE * Index;
        if (Position + SCAN_ENTRY_SIZE >= SCAN_RESULT_BLOCK_SIZE) break;
        if (Source + SCAN_ENTRY_SIZE > FrameBytes) break;
        memcpy(Block + Position, Frame + Source, SCAN_ENTRY_SIZE);
        Position += SCAN_ENTRY_SIZE;
    }
    PutWord(Block, 0, (USHORT)(Position / 2));
    PutWord(Block, 1, INFO_TYPE_SCAN);
}

// Called with Lock held; the lock is released around the connect indication.
VOID IndicateMediaStatus(PADAPTER Adapter, NDIS_STATUS Status) {
    NdisMIndicateStatus(Adapter->MiniportHandle, Status, NULL, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportHandle);
}

USHORT HandleInfoFrame(PADAPTER Adapter, USHORT FrameId) {
    PUCHAR B = Adapter->InfoWorkBuffer;
    USHORT Status = HwBapRead(Adapter, FrameId, (PUSHORT)B, 0, 5);
    if (Status != 0) return Status;
    USHORT Length = Word(B, 0);
    USHORT Type = Word(B, 1);

    switch (Type) {
        case INFO_TYPE_F100: {
            // Length counts the type word: the counters end at word Length.
            USHORT Words = Length + 1u < 100u ? (USHORT)(Length + 1) : 100;
            Status = HwBapRead(Adapter, FrameId, (PUSHORT)B, 0, Words);
            if (Status != 0) return Status;
            if (2u * Words < 4u + TALLIES_BLOCK_SIZE) memset(B + 2 * Words, 0, 4u + TALLIES_BLOCK_SIZE - 2u * Words);
            memcpy(Adapter->TalliesBlock, B + 4, TALLIES_BLOCK_SIZE);
            return 0;
        }
        case INFO_TYPE_LINK_STATUS: {
            USHORT Code = Word(B, 2);
            Adapter->PortStatus = Code;
            if (Adapter->ScanState == SCAN_SURVEY || Adapter->ScanState == SCAN_EMPTY_SSID) return 0;
            if (Code == 1 || Code == 3 || Code == 5) {
                Adapter->LinkLossTicks = 0;
                Adapter->LinkState = 1;
                HwGetCurrentBssid(Adapter, Adapter->CurrentBssid);
                USHORT Channel;
                if (HwGetRecordWord(Adapter, RID_CURRENT_CHANNEL, &Channel) == 0) Adapter->CurrentChannel = Channel;
                if (Adapter->NetworkMode != 3) {
                    HwGetRecordName(Adapter, RID_CURRENT_SSID, Adapter->CurrentSsid, &Adapter->CurrentSsidLength);
                    HwGetRecordName(Adapter, RID_OWN_SSID, Adapter->OwnSsid, &Adapter->OwnSsidLength);
                } else {
                    CopyName(Adapter->CurrentSsid, &Adapter->CurrentSsidLength, Adapter->Essid, Adapter->EssidLength);
                    CopyName(Adapter->OwnSsid, &Adapter->OwnSsidLength, Adapter->Essid, Adapter->EssidLength);
                }
                SendVendorRequest(Adapter);
            }
            if (Adapter->MediaDisconnected == 1 && Adapter->LinkState == 1) {
                Adapter->MediaDisconnected = 0;
                NdisReleaseSpinLock(&Adapter->Lock);
                IndicateMediaStatus(Adapter, NDIS_STATUS_MEDIA_CONNECT);
                NdisAcquireSpinLock(&Adapter->Lock);
                if (!HwNewerFirmware(Adapter)) HwInquire(Adapter, INFO_TYPE_SCAN);
            }
            return 0;
        }
        case INFO_TYPE_SCAN: {
            if (HwNewerFirmware(Adapter) && Adapter->ScanState != SCAN_SURVEY) return 0;
            USHORT Words = (USHORT)(ScanBytesRead(Length) / 2);
            Status = HwBapRead(Adapter, FrameId, (PUSHORT)Adapter->ScanResultBlock, 0, Words);
            if (Status != 0) return Status;
            BuildBssListFromScan(Adapter);
            return 0;
        }
        case INFO_TYPE_HOST_SCAN: {
            USHORT Words = Length < 1000 ? (USHORT)(Length + 1) : 981;
            Status = HwBapRead(Adapter, FrameId, (PUSHORT)B, 0, Words);
            if (Status != 0) return Status;
            ConvertHostScanResults(Adapter, B);
            BuildBssListFromScan(Adapter);
            return 0;
        }
        default:
            return 0;
    }
}

// Site survey on older firmware: the station is made to look for any network
// so that it reports what it finds. Called with Lock held.
VOID StartAnySurvey(PADAPTER Adapter) {
    UCHAR Length = Adapter->EssidLength;
    if (Length > NAME_FIELD_SIZE - 1) Length = NAME_FIELD_SIZE - 1;
    memcpy(Adapter->SavedEssid, Adapter->Essid, Length);
    Adapter->SavedEssidLength = Length;
    Adapter->SavedNetworkMode = (UCHAR)(Adapter->NetworkMode & 0xFF);
    memcpy(Adapter->Essid, "ANY", 4);
    Adapter->EssidLength = 3;
    Adapter->NetworkMode = 1;
    HwDisablePort(Adapter);
    HwSetRecordByte(Adapter, RID_NETWORK_MODE, Adapter->NetworkMode);
    HwSetDesiredSsid(Adapter);
    HwEnablePort(Adapter);
    Adapter->ScanState = SCAN_SURVEY;
}
