// The catalogue of configuration and information records and their accessors.
// Each accessor builds the record image in a local buffer, sets the length
// and identifier words, and transfers it. Byte strings lie in the data words
// low byte first.
#include "driver/hw/hw.h"

#define RECORD_DATA(Record) ((PUCHAR)&(Record)[2])

USHORT HwGetRecordByte(PADAPTER Adapter, USHORT Rid, PUCHAR Value) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_BYTE;
    Record[1] = Rid;
    USHORT Status = HwReadRecord(Adapter, Record);
    *Value = (UCHAR)(Record[2] & 0xFF);
    return Status;
}

USHORT HwSetRecordByte(PADAPTER Adapter, USHORT Rid, ULONG Value) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_BYTE;
    Record[1] = Rid;
    Record[2] = (USHORT)(Value & 0xFF);
    return HwWriteRecord(Adapter, Record);
}

USHORT HwGetRecordWord(PADAPTER Adapter, USHORT Rid, PUSHORT Value) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_WORD;
    Record[1] = Rid;
    USHORT Status = HwReadRecord(Adapter, Record);
    *Value = Record[2];
    return Status;
}

// Length is the record's length word: 2 for a plain word record, 4 for
// RID_AUTHENTICATION_TYPE, whose two further data words are written as zero.
USHORT HwSetRecordWord(PADAPTER Adapter, USHORT Rid, USHORT Length, ULONG Value) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = Length;
    Record[1] = Rid;
    Record[2] = (USHORT)Value;
    return HwWriteRecord(Adapter, Record);
}

// Destination holds NAME_FIELD_SIZE bytes: up to 32 characters and a NUL.
USHORT HwGetRecordName(PADAPTER Adapter, USHORT Rid, PUCHAR Destination, PUCHAR Length) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_NAME;
    Record[1] = Rid;
    USHORT Status = HwReadRecord(Adapter, Record);
    USHORT Count = Record[2];
    if (Count > 32) Count = 32;
    CopyBytes(Destination, (PUCHAR)&Record[3], (UCHAR)Count);
    Destination[Count] = 0;
    *Length = (UCHAR)Count;
    return Status;
}

USHORT HwSetRecordName(PADAPTER Adapter, USHORT Rid, const UCHAR* Name, UCHAR Length) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    if (Length > 32) Length = 32;
    Record[0] = RID_LEN_NAME;
    Record[1] = Rid;
    Record[2] = Length;
    CopyBytes((PUCHAR)&Record[3], Name, Length);
    return HwWriteRecord(Adapter, Record);
}

// "ANY" in any mix of letter cases, and exactly three characters long, means
// "join any network".
BOOLEAN HwIsAnySsid(const UCHAR* Name, ULONG Length) {
    return Length == 3 && (Name[0] == 'A' || Name[0] == 'a') && (Name[1] == 'N' || Name[1] == 'n') &&
           (Name[2] == 'Y' || Name[2] == 'y');
}

USHORT HwSetEmptyDesiredSsid(PADAPTER Adapter) {
    return HwSetRecordName(Adapter, RID_DESIRED_SSID, (const UCHAR*)"", 0);
}

USHORT HwSetDesiredSsid(PADAPTER Adapter) {
    if (HwIsAnySsid(Adapter->Essid, Adapter->EssidLength)) return HwSetEmptyDesiredSsid(Adapter);
    return HwSetRecordName(Adapter, RID_DESIRED_SSID, Adapter->Essid, Adapter->EssidLength);
}

USHORT HwSetOwnSsid(PADAPTER Adapter) {
    return HwSetRecordName(Adapter, RID_OWN_SSID, Adapter->Essid, Adapter->EssidLength);
}

USHORT HwSetPowerSave(PADAPTER Adapter, ULONG Mode, ULONG Level) {
    HwSetRecordByte(Adapter, RID_PS_MODE, Mode);
    return HwSetRecordByte(Adapter, RID_PS_LEVEL, Level);
}

USHORT HwGetPowerSave(PADAPTER Adapter, PUCHAR Mode, PUCHAR Level) {
    USHORT Status = HwGetRecordByte(Adapter, RID_PS_MODE, Mode);
    USHORT Second = HwGetRecordByte(Adapter, RID_PS_LEVEL, Level);
    return Status != 0 ? Status : Second;
}

USHORT HwSetTransmitRate(PADAPTER Adapter, ULONG Rate) {
    USHORT Status = HwSetRecordWord(Adapter, RID_TRANSMIT_RATE, RID_LEN_WORD, Rate);
    if (Adapter->NetworkMode == 3) HwSetRecordWord(Adapter, RID_BASIC_RATES, RID_LEN_WORD, 0x000F);
    return Status;
}

USHORT HwComputeWepFlags(PADAPTER Adapter, ULONG Value) {
    USHORT Flags = (USHORT)(Value & 0x0D);
    if (Adapter->EncryptInDriver == 1) Flags |= 0x10;
    switch (Adapter->WEPFactor) {
        case 1: Flags |= 0x20; break;
        case 2: Flags |= 0x40; break;
        case 3: Flags |= 0x60; break;
        default: break;
    }
    if (Adapter->DecryptInDriver == 1) Flags |= 0x80;
    return Flags;
}

USHORT HwSetWepFlags(PADAPTER Adapter, ULONG Value) {
    return HwSetRecordWord(Adapter, RID_WEP_FLAGS, RID_LEN_WORD, HwComputeWepFlags(Adapter, Value));
}

// A key record carries the key and the zero byte after it: 13 + 1 bytes for
// 104-bit WEP, 5 + 1 otherwise.
USHORT HwSetDefaultKey(PADAPTER Adapter, ULONG Index) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    if (Index >= WEP_KEY_SLOTS) return HW_ERR_TIMEOUT;
    UCHAR Bytes = Adapter->WepReq == 7 ? 14 : 6;
    Record[0] = (USHORT)(Bytes / 2 + 1);
    Record[1] = (USHORT)(RID_DEFAULT_KEY0 + Index);
    CopyBytes(RECORD_DATA(Record), Adapter->WepKeys[Index], Bytes);
    return HwWriteRecord(Adapter, Record);
}

USHORT HwSetMacAddress(PADAPTER Adapter, const UCHAR* Address) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_ADDRESS;
    Record[1] = RID_MAC_ADDRESS;
    CopyBytes(RECORD_DATA(Record), Address, 6);
    return HwWriteRecord(Adapter, Record);
}

USHORT HwGetCurrentBssid(PADAPTER Adapter, PUCHAR Destination) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_ADDRESS;
    Record[1] = RID_CURRENT_BSSID;
    USHORT Status = HwReadRecord(Adapter, Record);
    if (Status != 0) {
        FillBytes(Destination, 0xFF, 6);
    } else {
        CopyBytes(Destination, RECORD_DATA(Record), 6);
    }
    return Status;
}

// Copies the three data words of RID_LINK_QUALITY. The low byte of word 1,
// limited to 0x31..0x9A, is kept for the vendor management report.
USHORT HwGetLinkQuality(PADAPTER Adapter, PUCHAR Destination) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = RID_LEN_ADDRESS;
    Record[1] = RID_LINK_QUALITY;
    USHORT Status = HwReadRecord(Adapter, Record);
    CopyBytes(Destination, RECORD_DATA(Record), 6);
    if (Status == 0) {
        UCHAR Signal = (UCHAR)(Record[3] & 0xFF);
        if (Signal >= 0x9A) Signal = 0x9A;
        if (Signal <= 0x31) Signal = 0x31;
        Adapter->VendorUserData[43] = Signal;
    }
    return Status;
}

USHORT HwRequestScan(PADAPTER Adapter) {
    USHORT Record[RECORD_BUFFER_WORDS] = {0};
    Record[0] = 4;
    Record[1] = RID_SCAN_REQUEST;
    Record[2] = 0x1FFF;
    Record[3] = 0x0003;
    Record[4] = 0x0000;
    return HwWriteRecord(Adapter, Record);
}

// Newer firmware asks for scans with RID_SCAN_REQUEST: data word 2 of
// RID_IDENTITY_FD20 at least 1 and data word 3 at least 3, both tested apart.
BOOLEAN HwNewerFirmware(PADAPTER Adapter) {
    return Adapter->IdentityFd20[1] >= 1 && Adapter->IdentityFd20[2] >= 3;
}
