// Transmit path: packets from NDIS are queued, gathered into an Ethernet
// frame, converted to an 802.3 frame with an 802.2 SNAP header, optionally
// encrypted in the host, written into one of three controller transmit
// buffers and sent. The controller hands buffers back in transmit order.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"

const UCHAR SnapBridgeTunnel[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8, 0x00, 0x00};
const UCHAR SnapRfc1042[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
const UCHAR SnapVendorTx[8] = {0xAA, 0xAA, 0x03, 0x02, 0x4B, 0x7E, 0x81, 0xAE};
const UCHAR SnapVendorRx[8] = {0xAA, 0xAA, 0x03, 0x02, 0x4B, 0x7E, 0x81, 0xAE};

// --- packet queues: linked through the first pointer of MiniportReserved -----------

PNDIS_PACKET PacketLink(PNDIS_PACKET Packet) {
    PNDIS_PACKET Next;
    memcpy(&Next, Packet->MiniportReserved, sizeof(Next));
    return Next;
}

VOID SetPacketLink(PNDIS_PACKET Packet, PNDIS_PACKET Next) {
    memcpy(Packet->MiniportReserved, &Next, sizeof(Next));
}

static PNDIS_PACKET PacketListPop(PNDIS_PACKET* Head, PNDIS_PACKET* Tail) {
    PNDIS_PACKET Packet = *Head;
    if (Packet == NULL) return NULL;
    *Head = PacketLink(Packet);
    if (*Head == NULL) *Tail = NULL;
    SetPacketLink(Packet, NULL);
    return Packet;
}

static VOID PacketListAppend(PNDIS_PACKET* Head, PNDIS_PACKET* Tail, PNDIS_PACKET Packet) {
    SetPacketLink(Packet, NULL);
    if (*Tail != NULL) {
        SetPacketLink(*Tail, Packet);
    } else {
        *Head = Packet;
    }
    *Tail = Packet;
}

PNDIS_PACKET SendQueuePop(PADAPTER Adapter) {
    PNDIS_PACKET Packet = PacketListPop(&Adapter->SendQueueHead, &Adapter->SendQueueTail);
    if (Packet != NULL && Adapter->SendQueueCount > 0) Adapter->SendQueueCount--;
    return Packet;
}

PNDIS_PACKET SendDonePop(PADAPTER Adapter) { return PacketListPop(&Adapter->SendDoneHead, &Adapter->SendDoneTail); }

VOID SendDoneAppend(PADAPTER Adapter, PNDIS_PACKET Packet) {
    PacketListAppend(&Adapter->SendDoneHead, &Adapter->SendDoneTail, Packet);
}

static VOID SendQueueAppend(PADAPTER Adapter, PNDIS_PACKET Packet) {
    PacketListAppend(&Adapter->SendQueueHead, &Adapter->SendQueueTail, Packet);
    Adapter->SendQueueCount++;
}

VOID TakeSendPackets(PADAPTER Adapter, PNDIS_PACKET* Waiting, PNDIS_PACKET* Taken) {
    PNDIS_PACKET WaitingTail = NULL;
    *Waiting = NULL;
    while (Adapter->SendQueueHead != NULL && Adapter->SendQueueCount > 0) {
        Adapter->SendErrors++;
        PacketListAppend(Waiting, &WaitingTail, SendQueuePop(Adapter));
    }
    Adapter->SendQueueHead = Adapter->SendQueueTail = NULL;
    Adapter->SendQueueCount = 0;
    *Taken = Adapter->SendDoneHead;
    Adapter->SendDoneHead = Adapter->SendDoneTail = NULL;
}

VOID CompletePacketChain(PADAPTER Adapter, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    while (Packet != NULL) {
        PNDIS_PACKET Next = PacketLink(Packet);
        SetPacketLink(Packet, NULL);
        NdisMSendComplete(Adapter->MiniportHandle, Packet, Status);
        Packet = Next;
    }
}

// --- transmit buffer lists -----------------------------------------------------------

static VOID ListInit(PTX_LIST_ENTRY Head) { Head->Flink = Head->Blink = Head; }

static BOOLEAN ListEmpty(const TX_LIST_ENTRY* Head) { return Head->Flink == Head; }

static PTX_LIST_ENTRY ListRemoveHead(PTX_LIST_ENTRY Head) {
    PTX_LIST_ENTRY Entry = Head->Flink;
    Head->Flink = Entry->Flink;
    Entry->Flink->Blink = Head;
    return Entry;
}

static VOID ListInsertTail(PTX_LIST_ENTRY Head, PTX_LIST_ENTRY Entry) {
    Entry->Blink = Head->Blink;
    Entry->Flink = Head;
    Head->Blink->Flink = Entry;
    Head->Blink = Entry;
}

static VOID ListInsertHead(PTX_LIST_ENTRY Head, PTX_LIST_ENTRY Entry) {
    Entry->Flink = Head->Flink;
    Entry->Blink = Head;
    Head->Flink->Blink = Entry;
    Head->Flink = Entry;
}

VOID InitializeTxLists(PADAPTER Adapter) {
    ListInit(&Adapter->TxBusyList);
    ListInit(&Adapter->TxFreeList);
    Adapter->TxFreeCount = 0;
}

BOOLEAN TxFreeListEmpty(PADAPTER Adapter) {
    // A list head never set up (zeroed) counts as empty.
    return Adapter->TxFreeList.Flink == NULL || ListEmpty(&Adapter->TxFreeList);
}

VOID TxFreeListAppend(PADAPTER Adapter, PTX_BUFFER_ENTRY Entry) {
    ListInsertTail(&Adapter->TxFreeList, &Entry->Link);
    Adapter->TxFreeCount++;
}

// EV_ALLOC: the controller returns buffers in the order they were sent, so
// every busy buffer up to the named one comes back with it.
VOID RecycleTxBuffers(PADAPTER Adapter, USHORT FrameId) {
    if (FrameId == Adapter->SpareTxFid) return;
    if (Adapter->TxBusyList.Flink == NULL) return;
    while (!ListEmpty(&Adapter->TxBusyList)) {
        PTX_BUFFER_ENTRY Entry = (PTX_BUFFER_ENTRY)ListRemoveHead(&Adapter->TxBusyList);
        ListInsertTail(&Adapter->TxFreeList, &Entry->Link);
        Adapter->TxFreeCount++;
        if (Entry->FrameId == FrameId) break;
    }
}

// --- frame building -------------------------------------------------------------------

static VOID PutBigEndian(PUCHAR Where, USHORT Value) {
    Where[0] = (UCHAR)(Value >> 8);
    Where[1] = (UCHAR)(Value & 0xFF);
}

USHORT TransmitFrame(PADAPTER Adapter, const UCHAR* Frame, USHORT Length) {
    PUCHAR D = Adapter->TxFrameBuffer;
    // Nothing longer than the largest Ethernet frame is ever built: the
    // descriptor and data must fit one controller buffer.
    if (Length < 14 || Length > MAX_ETHERNET_FRAME) return HW_ERR_TIMEOUT;
    if (TxFreeListEmpty(Adapter)) return HW_ERR_TIMEOUT;

    memset(D, 0, 68);
    USHORT Type = (USHORT)((Frame[12] << 8) | Frame[13]);
    USHORT Control = TX_CONTROL;
    BOOLEAN Eapol = Type == ETHERTYPE_EAPOL;
    if (Eapol && Length > 15 && Frame[15] == 1) Adapter->EapolState = 1;  // EAPOL-Start
    if (WepOn(Adapter) && Eapol) Control = TX_CONTROL_EAPOL;  // goes out in the clear
    BOOLEAN Encrypt = WepOn(Adapter) && Adapter->EncryptInDriver == 1 && !Eapol;
    D[12] = (UCHAR)(Control & 0xFF);
    D[13] = (UCHAR)(Control >> 8);
    if (Encrypt) {
        WepIvStep(Adapter);
        memcpy(D + 60, Adapter->TxIv, 4);
    }

    const UCHAR* Snap = SnapRfc1042;
    if (Adapter->VendorEncap == 1) {
        Snap = SnapVendorTx;
    } else if (Type == ETHERTYPE_IPX || Type == ETHERTYPE_AARP) {
        Snap = SnapBridgeTunnel;
    }

    USHORT N;
    PUCHAR Body = D + 60 + (Encrypt ? 4 : 0);  // where the data after the IV header begin
    if (Type > 1500) {
        // SNAP header, then the Ethernet type and payload.
        memcpy(D + 46, Frame, 12);
        memcpy(Body, Snap, 6);
        memcpy(Body + 6, Frame + 12, Length - 12);
        N = Encrypt ? (USHORT)(Length + 2) : (USHORT)(Length - 6);
        PutBigEndian(D + 58, N);
    } else if (!Encrypt) {
        // Already an 802.3 frame: its own length field goes out unchanged.
        memcpy(D + 46, Frame, Length);
        N = (USHORT)(Length - 14);
    } else {
        memcpy(D + 46, Frame, 12);
        memcpy(Body, Frame + 14, Length - 14);
        N = (USHORT)(Length - 6);
        PutBigEndian(D + 58, N);
    }
    if (Encrypt) {
        ULONG Icv = WepIcv(Adapter, D + 64, (USHORT)(N - 8));
        PUCHAR Tail = D + 60 + N - 4;
        Tail[0] = (UCHAR)(Icv & 0xFF);
        Tail[1] = (UCHAR)((Icv >> 8) & 0xFF);
        Tail[2] = (UCHAR)((Icv >> 16) & 0xFF);
        Tail[3] = (UCHAR)(Icv >> 24);
        XorTxKeystream(Adapter, D + 64, (USHORT)(N - 4));
    }

    PTX_BUFFER_ENTRY Entry = (PTX_BUFFER_ENTRY)ListRemoveHead(&Adapter->TxFreeList);
    Adapter->TxFreeCount--;
    USHORT Status = HwBapWrite(Adapter, Entry->FrameId, (const USHORT*)D, 0, (USHORT)((N + 60 + 1) / 2));
    if (Status == 0) Status = HwIssueCommandWithTimeout(Adapter, CMD_TRANSMIT, Entry->FrameId);
    if (Status == 0) {
        ListInsertTail(&Adapter->TxBusyList, &Entry->Link);
    } else {
        ListInsertHead(&Adapter->TxFreeList, &Entry->Link);
        Adapter->TxFreeCount++;
    }
    return Status;
}

// --- the send queue --------------------------------------------------------------------

// Completes a packet that cannot be sent at all. Called with Lock held;
// the lock is released around the completion.
static VOID FailHeadPacket(PADAPTER Adapter) {
    PNDIS_PACKET Packet = SendQueuePop(Adapter);
    NDIS_SET_PACKET_STATUS(Packet, NDIS_STATUS_FAILURE);
    NdisReleaseSpinLock(&Adapter->Lock);
    NdisMSendComplete(Adapter->MiniportHandle, Packet, NDIS_STATUS_FAILURE);
    NdisAcquireSpinLock(&Adapter->Lock);
}

// Writes the packet at the head of the queue to the card. A packet that can
// never be sent (no buffers, longer than an Ethernet frame) is failed and the
// next one is tried, so that it does not hold up the packets behind it.
USHORT SendNextQueued(PADAPTER Adapter) {
    for (;;) {
        if (!HwCardPresent(Adapter)) return HW_ERR_TIMEOUT;
        if (Adapter->SendQueueHead == NULL || Adapter->SendQueueCount == 0) {
            Adapter->SendQueueDrained = 1;
            Adapter->SendQueueCount = 0;
            return 0;
        }
        if (TxFreeListEmpty(Adapter) || Adapter->TxInFlight > 3) return HW_ERR_TIMEOUT;

        PNDIS_PACKET Packet = Adapter->SendQueueHead;
        PNDIS_BUFFER Buffer = NULL;
        PVOID Address = NULL;
        UINT BufferLength = 0;
        UINT Total = 0;
        NdisGetFirstBufferFromPacket(Packet, &Buffer, &Address, &BufferLength, &Total);
        if (Buffer == NULL) {
            FailHeadPacket(Adapter);
            continue;
        }

        ULONG Length = 0;
        BOOLEAN TooLong = FALSE;
        while (Buffer != NULL) {
            NdisQueryBuffer(Buffer, &Address, &BufferLength);
            if (Length + BufferLength > MAX_ETHERNET_FRAME) {
                TooLong = TRUE;
                break;
            }
            if (BufferLength != 0) memcpy(Adapter->TxStagingBuffer + Length, Address, BufferLength);
            Length += BufferLength;
            NdisGetNextBuffer(Buffer, &Buffer);
        }
        if (TooLong) {
            Adapter->SendErrors++;
            FailHeadPacket(Adapter);
            continue;
        }

        Adapter->BytesSent += Length;
        USHORT Status = TransmitFrame(Adapter, Adapter->TxStagingBuffer, (USHORT)Length);
        if (Status != 0) {
            Adapter->SendErrors++;
            return Status;  // the packet stays at the head and is tried again
        }
        Adapter->TxInFlight++;
        SendDoneAppend(Adapter, SendQueuePop(Adapter));
        return 0;
    }
}

static VOID CompleteAll(PADAPTER Adapter, PPNDIS_PACKET PacketArray, UCHAR Count, NDIS_STATUS Status) {
    for (UCHAR Index = 0; Index < Count; Index++) {
        NdisMSendComplete(Adapter->MiniportHandle, PacketArray[Index], Status);
    }
}

VOID NDIS_API MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                                  UINT NumberOfPackets) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    UCHAR Count = (UCHAR)NumberOfPackets;

    NdisAcquireSpinLock(&Adapter->Lock);
    if (!HwCardPresent(Adapter)) {
        NdisReleaseSpinLock(&Adapter->Lock);
        CompleteAll(Adapter, PacketArray, Count, NDIS_STATUS_FAILURE);
        return;
    }
    HwWriteReg(Adapter, REG_INT_ENABLE, 0);
    if (Adapter->MonitorMode == 1) {
        NdisReleaseSpinLock(&Adapter->Lock);
        CompleteAll(Adapter, PacketArray, Count, NDIS_STATUS_FAILURE);
        HwWriteReg(Adapter, REG_INT_ENABLE, INT_ENABLE_MASK);
        return;
    }
    if (Adapter->MediaDisconnected == 1) {
        // Nobody to send to: the packets are dropped as sent.
        NdisReleaseSpinLock(&Adapter->Lock);
        CompleteAll(Adapter, PacketArray, Count, NDIS_STATUS_SUCCESS);
        HwWriteReg(Adapter, REG_INT_ENABLE, INT_ENABLE_MASK);
        return;
    }
    // Each packet is marked pending as it is queued: once queued it may be
    // completed at any time, after which it is no longer ours to touch.
    for (UCHAR Index = 0; Index < Count; Index++) {
        NDIS_SET_PACKET_STATUS(PacketArray[Index], NDIS_STATUS_PENDING);
        SendQueueAppend(Adapter, PacketArray[Index]);
    }
    // From inside a receive indication only queue; the event loop sends.
    if (Adapter->RxIndicating == 0) SendNextQueued(Adapter);
    HwWriteReg(Adapter, REG_INT_ENABLE, INT_ENABLE_MASK);
    NdisReleaseSpinLock(&Adapter->Lock);
}
