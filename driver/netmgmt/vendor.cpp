// The vendor management protocol with the joined access point: a request for
// the access point's information, a report of the utility's user data, and
// the parsing of the access point's answers into the Adapter.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

static_assert(offsetof(ADAPTER, VendorByte9) == offsetof(ADAPTER, VendorByte4) + 5, "vendor bytes are contiguous");

// Destination, source and the protocol type: the head of every frame.
static VOID BuildFrameHead(PADAPTER Adapter, PUCHAR Frame) {
    HwGetCurrentBssid(Adapter, Frame);
    memcpy(Frame + 6, Adapter->CurrentAddress, 6);
    Frame[12] = 0x81;
    Frame[13] = 0xAE;
}

BOOLEAN SendVendorRequest(PADAPTER Adapter) {
    UCHAR Frame[38];
    Adapter->VendorEncap = 1;
    if (TxFreeListEmpty(Adapter) || Adapter->TxInFlight > 3) {
        Adapter->VendorEncap = 0;
        return TRUE;
    }
    BuildFrameHead(Adapter, Frame);
    Frame[14] = 0x00;  // class
    Frame[15] = 0x01;  // kind: request
    Frame[16] = 0x0A;  // ten elements
    Frame[17] = 0x00;
    for (int Id = 1; Id <= 10; Id++) {
        Frame[18 + 2 * (Id - 1)] = (UCHAR)Id;
        Frame[19 + 2 * (Id - 1)] = 0;
    }
    USHORT Status = TransmitFrame(Adapter, Frame, sizeof(Frame));
    Adapter->VendorEncap = 0;
    return Status == 0;
}

BOOLEAN SendVendorReport(PADAPTER Adapter) {
    BOOLEAN Result = TRUE;
    Adapter->VendorEncap = 1;
    if (Adapter->SendQueueDrained == 1 && !TxFreeListEmpty(Adapter)) {
        UCHAR Frame[57];
        BuildFrameHead(Adapter, Frame);
        memcpy(Frame + 14, Adapter->VendorUserData, 34);
        Frame[48] = 13;
        Frame[49] = 4;
        Frame[50] = 3;
        Frame[51] = 7;
        Frame[52] = 8;
        Frame[53] = 0;
        Frame[54] = 14;
        Frame[55] = 1;
        Frame[56] = Adapter->VendorUserData[43];
        Result = TransmitFrame(Adapter, Frame, sizeof(Frame)) == 0;
    }
    Adapter->VendorEncap = 0;
    return Result;
}

// Copies a string element up to and including its first zero byte, never
// beyond the field or the bytes the frame holds. A string cut short by the
// frame's end is terminated when the field has room.
static VOID CopyVendorString(PUCHAR Field, ULONG FieldSize, const UCHAR* Value, ULONG Available) {
    ULONG Index = 0;
    while (Index < FieldSize && Index < Available) {
        Field[Index] = Value[Index];
        if (Value[Index] == 0) return;
        Index++;
    }
    if (Index < FieldSize) Field[Index] = 0;
}

VOID ParseVendorFrame(PADAPTER Adapter, const UCHAR* Body, USHORT BodyLength) {
    if (BodyLength < 1 || Body[0] != 0) return;
    Adapter->VendorInfoReceived = 1;
    if (BodyLength < 3) return;
    ULONG Count = Body[2];
    if (Count > 10) Count = 10;
    ULONG Offset = 4;
    for (ULONG Element = 0; Element < Count && Offset < 129; Element++) {
        if (Offset + 2 > BodyLength) break;  // the frame ends here
        UCHAR Id = Body[Offset];
        UCHAR Length = Body[Offset + 1];
        const UCHAR* Value = Body + Offset + 2;
        ULONG Available = BodyLength - (Offset + 2);
        switch (Id) {
            case 1: CopyVendorString(Adapter->VendorString1, sizeof(Adapter->VendorString1), Value, Available); break;
            case 2: CopyVendorString(Adapter->VendorString2, sizeof(Adapter->VendorString2), Value, Available); break;
            case 3: CopyVendorString(Adapter->VendorString3, sizeof(Adapter->VendorString3), Value, Available); break;
            case 4:
            case 5:
            case 6:
            case 7:
            case 8:
            case 9:
                if (Available >= 1) ((PUCHAR)Adapter + offsetof(ADAPTER, VendorByte4))[Id - 4] = Value[0];
                break;
            case 10:
                if (Length >= 1 && Length <= 4 && Length <= Available) memcpy(Adapter->VendorBytes10, Value, Length);
                break;
            default:
                break;
        }
        Offset += Length + 2u;
    }
}
