// Receive path: a frame from the controller becomes an Ethernet indication.
// Frames are read through path 0 into RxBuffer, discarded when they must be,
// decrypted and reassembled when host WEP decryption is on, converted from
// 802.2 SNAP back to Ethernet II, and left in the Adapter for indication.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

// Reassembly of host-decrypted fragments is shared by all adapters.
UCHAR ReassemblyActive;
USHORT ReassemblyOffset;

#define MAX_DATA_LENGTH 2304
// Data that fit behind the descriptor in a receive buffer.
#define RX_DATA_ROOM (RX_BUFFER_SIZE - FRAME_DESCRIPTOR_SIZE)

static USHORT LittleWord(const UCHAR* Bytes) { return (USHORT)(Bytes[0] | (Bytes[1] << 8)); }

static VOID PutBigEndian(PUCHAR Where, USHORT Value) {
    Where[0] = (UCHAR)(Value >> 8);
    Where[1] = (UCHAR)(Value & 0xFF);
}

static BOOLEAN HostDecrypts(PADAPTER Adapter) { return Adapter->WepReq != 0 && Adapter->DecryptInDriver != 0; }

static USHORT MonitorRule(PADAPTER Adapter, USHORT DataLength, PUSHORT Length) {
    PUCHAR Rx = Adapter->RxBuffer;
    USHORT FrameControl = LittleWord(Rx + 14);
    USHORT Type = (FrameControl >> 2) & 3;
    USHORT Subtype = (FrameControl >> 4) & 0xF;
    PUCHAR Filter = Adapter->MonitorFilter;
    BOOLEAN Accept;
    switch (Type) {
        case 0: Accept = Subtype == 8 ? Filter[0] == 1 : Filter[1] == 1; break;
        case 1: Accept = Filter[2] == 1; break;
        case 2: Accept = Filter[3] == 1; break;
        default: Accept = TRUE; break;
    }
    if (!Accept) return HW_ERR_TIMEOUT;
    if (Filter[6] == 1) {
        const UCHAR* Bssid = NULL;
        switch ((FrameControl >> 8) & 3) {
            case 0: Bssid = Rx + 30; break;  // address 3
            case 1: Bssid = Rx + 18; break;  // to the distribution system: address 1
            case 2: Bssid = Rx + 24; break;  // from it: address 2
            default: break;
        }
        if (Bssid != NULL && memcmp(Bssid, Filter + 7, 6) != 0) return HW_ERR_TIMEOUT;
    }
    memcpy(Adapter->RxHeader, Rx, 14);
    // The 24-byte 802.11 header at offset 14, the data right behind it.
    if (DataLength > 0) memmove(Rx + 38, Rx + 60, DataLength);
    Adapter->LookaheadPtr = Rx + 14;
    *Length = (USHORT)(DataLength + 38);
    return 0;
}

static USHORT NormalRule(PADAPTER Adapter, USHORT DataLength, BOOLEAN Protected, BOOLEAN MoreFragments,
                         PUSHORT Length) {
    PUCHAR Rx = Adapter->RxBuffer;
    ReassemblyActive = 0;
    ReassemblyOffset = 0;
    memcpy(Adapter->RxHeader, Rx + 46, 14);
    USHORT Kind = LittleWord(Rx);
    USHORT Len = DataLength;
    USHORT Skip = 0;

    if (WepOn(Adapter) && Adapter->DecryptInDriver == 1 && Protected) {
        if (!WepDecrypt(Adapter, Rx + 60, DataLength)) return HW_ERR_TIMEOUT;
        Len = (USHORT)(DataLength - 8);
        PutBigEndian(Adapter->RxHeader + 12, Len);
        Skip = 4;
        if (Len >= 6) {
            if (memcmp(Rx + 64, SnapBridgeTunnel, 6) == 0) {
                Kind = 0x4000;
            } else if (memcmp(Rx + 64, SnapRfc1042, 6) == 0) {
                Kind = 0x2000;
            }
        }
    }
    Adapter->RxSnapKind = Kind;
    PUCHAR P = Rx + 60 + Skip;
    USHORT Type = Len >= 8 ? (USHORT)((P[6] << 8) | P[7]) : 0;

    if (Type == ETHERTYPE_EAPOL && Len >= 13 && P[9] == 0 && P[12] == 3) Adapter->EapolState = 2;  // EAP Success

    if (Len >= 8 && memcmp(P, SnapVendorRx, 8) == 0) {
        ParseVendorFrame(Adapter, P + 8, (USHORT)(Len - 8));
        *Length = 0;
        return 0;
    }
    if ((Kind & 0x4000) || ((Kind & 0x2000) && Type != ETHERTYPE_IPX && Type != ETHERTYPE_AARP)) {
        // A SNAP header too short to hold its own type is not a frame.
        if (Len < 8) return HW_ERR_TIMEOUT;
        Adapter->RxHeader[12] = P[6];
        Adapter->RxHeader[13] = P[7];
        Skip += 8;
        Len -= 8;
    }
    Adapter->LookaheadPtr = Rx + 60 + Skip;

    if (MoreFragments && HostDecrypts(Adapter) && Protected) {
        ReassemblyActive = 1;
        ReassemblyOffset = Len;
        *Length = 0;
        return 0;
    }
    if (Len < 46) {
        memset(Adapter->LookaheadPtr + Len, 0, 46u - Len);
        Len = 46;
    }
    *Length = Len;
    return 0;
}

static USHORT ContinuationRule(PADAPTER Adapter, USHORT DataLength, BOOLEAN Protected, BOOLEAN MoreFragments,
                               PUSHORT Length) {
    PUCHAR F = Adapter->RxFragmentBuffer;
    if (ReassemblyActive == 0) return HW_ERR_TIMEOUT;
    USHORT Skip = 0;
    USHORT Len = DataLength;
    if (WepOn(Adapter) && Adapter->DecryptInDriver == 1 && Protected) {
        if (!WepDecrypt(Adapter, F + 60, DataLength)) return HW_ERR_TIMEOUT;
        Skip = 4;
        Len = (USHORT)(DataLength - 8);
    }
    // The reassembly belongs to whichever adapter began it; it must land
    // inside this adapter's receive buffer or it is abandoned.
    PUCHAR Rx = Adapter->RxBuffer;
    if (Adapter->LookaheadPtr < Rx || Adapter->LookaheadPtr > Rx + RX_BUFFER_SIZE ||
        (ULONG)(Adapter->LookaheadPtr - Rx) + ReassemblyOffset + Len > RX_BUFFER_SIZE) {
        ReassemblyActive = 0;
        ReassemblyOffset = 0;
        return HW_ERR_TIMEOUT;
    }
    memcpy(Adapter->LookaheadPtr + ReassemblyOffset, F + 60 + Skip, Len);
    if (MoreFragments) {
        ReassemblyOffset = (USHORT)(ReassemblyOffset + Len);
        ReassemblyActive = 1;
        *Length = 0;
        return 0;
    }
    *Length = (USHORT)(ReassemblyOffset + Len);
    if ((Adapter->RxSnapKind & 0xE000) == 0) PutBigEndian(Adapter->RxHeader + 12, *Length);
    ReassemblyActive = 0;
    ReassemblyOffset = 0;
    return 0;
}

USHORT ReceiveFrame(PADAPTER Adapter, PUSHORT Length) {
    PUCHAR Rx = Adapter->RxBuffer;
    *Length = 0;
    USHORT FrameId = HwReadReg(Adapter, REG_RX_FID);
    USHORT Status = HwBapRead(Adapter, FrameId, (PUSHORT)Rx, 0, FRAME_DESCRIPTOR_SIZE / 2);
    if (Status != 0) return Status;

    USHORT DataLength = LittleWord(Rx + 44);
    if (DataLength > MAX_DATA_LENGTH) DataLength = 0;
    if (DataLength == 0) return HW_ERR_TIMEOUT;
    // A frame whose data do not fit the receive buffer is dropped unread.
    if (DataLength > RX_DATA_ROOM) return HW_ERR_TIMEOUT;

    USHORT FrameControl = LittleWord(Rx + 14);
    BOOLEAN Protected = (FrameControl & 0x4000) != 0;
    BOOLEAN MoreFragments = (FrameControl & 0x0400) != 0;
    BOOLEAN Continuation = (LittleWord(Rx + 36) & 0xF) != 0;
    BOOLEAN Fragment = Continuation && HostDecrypts(Adapter) && Protected;

    USHORT Words = (USHORT)(FRAME_DESCRIPTOR_SIZE / 2 + (DataLength + 1) / 2);
    PUCHAR Target = (Fragment && Adapter->MonitorMode != 1) ? Adapter->RxFragmentBuffer : Rx;
    Status = HwBapRead(Adapter, FrameId, (PUSHORT)Target, 0, Words);
    if (Status != 0) return Status;

    if (Adapter->MonitorMode == 1) return MonitorRule(Adapter, DataLength, Length);
    if (Fragment) return ContinuationRule(Adapter, DataLength, Protected, MoreFragments, Length);
    return NormalRule(Adapter, DataLength, Protected, MoreFragments, Length);
}

// Indicates the frame ReceiveFrame left in the Adapter. Called with Lock
// held; the lock is released for the two NDIS calls.
VOID IndicateReceivedFrame(PADAPTER Adapter, USHORT Length) {
    if (Adapter->MonitorMode == 1) {
        Adapter->IndicatedLength = Length;
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMEthIndicateReceive(Adapter->MiniportHandle, Adapter, Adapter->RxHeader, 14, Adapter->LookaheadPtr,
                                Length, Length);
        NdisMEthIndicateReceiveComplete(Adapter->MiniportHandle);
        NdisAcquireSpinLock(&Adapter->Lock);
        return;
    }
    Adapter->IndicatedLength = (USHORT)(Length + 14);
    Adapter->FramesReceivedOk++;
    Adapter->BytesReceived += Length + 14u;
    NdisReleaseSpinLock(&Adapter->Lock);
    Adapter->RxIndicating++;
    UINT Lookahead = Length < Adapter->CurrentLookahead ? Length : Adapter->CurrentLookahead;
    NdisMEthIndicateReceive(Adapter->MiniportHandle, Adapter, Adapter->RxHeader, 14, Adapter->LookaheadPtr, Lookahead,
                            Length);
    Adapter->RxIndicating--;
    NdisMEthIndicateReceiveComplete(Adapter->MiniportHandle);
    NdisAcquireSpinLock(&Adapter->Lock);
}

// Copies the indicated frame from ByteOffset on into the protocol's packet.
// The data stay in RxBuffer until the next received frame is serviced.
NDIS_STATUS NDIS_API MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                          NDIS_HANDLE MiniportAdapterContext, NDIS_HANDLE MiniportReceiveContext,
                                          UINT ByteOffset, UINT BytesToTransfer) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    (void)MiniportReceiveContext;
    *BytesTransferred = 0;
    ULONG Indicated = Adapter->IndicatedLength > 14 ? Adapter->IndicatedLength - 14u : 0;
    // Nothing lies beyond the indicated data, whatever offset is asked for.
    if (Adapter->LookaheadPtr == NULL || ByteOffset >= Indicated) return NDIS_STATUS_SUCCESS;
    ULONG Available = Indicated - ByteOffset;
    const UCHAR* Source = Adapter->LookaheadPtr + ByteOffset;
    const UCHAR* End = Adapter->RxBuffer + RX_BUFFER_SIZE;
    if (Source >= End) return NDIS_STATUS_SUCCESS;
    if (Available > (ULONG)(End - Source)) Available = (ULONG)(End - Source);
    if (BytesToTransfer >= Available) BytesToTransfer = Available;

    PNDIS_BUFFER Buffer = NULL;
    PVOID Address = NULL;
    UINT BufferLength = 0;
    UINT Total = 0;
    UINT Copied = 0;
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    NdisGetFirstBufferFromPacket(Packet, &Buffer, &Address, &BufferLength, &Total);
    while (Copied < BytesToTransfer) {
        if (Buffer == NULL) {
            Status = NDIS_STATUS_FAILURE;
            break;
        }
        NdisQueryBuffer(Buffer, &Address, &BufferLength);
        UINT Chunk = BytesToTransfer - Copied;
        if (Chunk > BufferLength) Chunk = BufferLength;
        if (Chunk != 0) memcpy(Address, Source + Copied, Chunk);
        Copied += Chunk;
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    *BytesTransferred = Copied;
    return Status;
}
