// Interrupt service and the event loop: every controller event is serviced
// here, one per pass in a fixed priority order, re-reading the event status
// after each; then queued packets are pushed to the card and the packets it
// took are completed.
#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

// An information frame that cannot be read is offered this many times in one
// run of the loop; after that it waits, pending, for a later run.
#define INFO_ATTEMPTS_PER_RUN 3

VOID NDIS_API MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                          NDIS_HANDLE MiniportAdapterContext) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    *InterruptRecognized = FALSE;
    *QueueMiniportHandleInterrupt = FALSE;
    if (Adapter->CardRemoved == 1) return;
    USHORT Enabled = HwReadReg(Adapter, REG_INT_ENABLE);
    USHORT Events = (USHORT)(Enabled & HwReadReg(Adapter, REG_EVENT_STATUS));
    if (Events == 0xFFFF) {
        // Both registers read all ones: the card is gone.
        Adapter->CardRemoved = 1;
    } else if (Events != 0) {
        HwWriteReg(Adapter, REG_INT_ENABLE, 0);
        *InterruptRecognized = TRUE;
        *QueueMiniportHandleInterrupt = TRUE;
    }
}

VOID NDIS_API MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    HwWriteReg((PADAPTER)MiniportAdapterContext, REG_INT_ENABLE, 0);
}

VOID NDIS_API MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    HwWriteReg((PADAPTER)MiniportAdapterContext, REG_INT_ENABLE, INT_ENABLE_MASK);
}

static VOID Acknowledge(PADAPTER Adapter, USHORT Event) {
    Adapter->PendingEvents &= (USHORT)~Event;
    HwAckEvents(Adapter, Event);
}

// The transmission of a frame finished: its descriptor is read back but
// nothing is decided on it; only the counters differ.
static VOID TransmitFinished(PADAPTER Adapter, USHORT Event) {
    USHORT Descriptor[6];
    USHORT FrameId = HwReadReg(Adapter, REG_TX_COMPL_FID);
    HwBapRead(Adapter, FrameId, Descriptor, 0, 6);
    if (Adapter->TxInFlight > 0) Adapter->TxInFlight--;
    if (Event == EV_TX) {
        Adapter->FramesSentOk++;
    } else {
        Adapter->SendErrors++;
    }
    Acknowledge(Adapter, Event);
}

VOID NDIS_API MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    static const USHORT Priority[] = {EV_ALLOC, EV_RX, EV_TX, EV_TX_EXC, EV_INFO, EV_BIT13, EV_BIT15};
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    int InfoAttempts = 0;

    NdisAcquireSpinLock(&Adapter->Lock);
    if (!HwCardPresent(Adapter)) {
        Adapter->CardRemoved = 1;
        NdisReleaseSpinLock(&Adapter->Lock);
        return;
    }
    Adapter->PendingEvents |= HwReadReg(Adapter, REG_EVENT_STATUS);

    for (;;) {
        USHORT Event = 0;
        for (USHORT Candidate : Priority) {
            if ((Adapter->PendingEvents & Candidate) == 0) continue;
            if (Candidate == EV_INFO && InfoAttempts >= INFO_ATTEMPTS_PER_RUN) continue;
            Event = Candidate;
            break;
        }
        if (Event == 0) break;
        if (!HwCardPresent(Adapter)) {
            NdisReleaseSpinLock(&Adapter->Lock);
            return;
        }
        switch (Event) {
            case EV_ALLOC:
                Acknowledge(Adapter, EV_ALLOC);
                RecycleTxBuffers(Adapter, HwReadReg(Adapter, REG_ALLOC_FID));
                break;
            case EV_RX: {
                USHORT Length = 0;
                if (ReceiveFrame(Adapter, &Length) == 0 && Length != 0) IndicateReceivedFrame(Adapter, Length);
                Acknowledge(Adapter, EV_RX);
                break;
            }
            case EV_TX:
            case EV_TX_EXC:
                TransmitFinished(Adapter, Event);
                break;
            case EV_INFO:
                if (HandleInfoFrame(Adapter, HwReadReg(Adapter, REG_INFO_FID)) == 0) {
                    Acknowledge(Adapter, EV_INFO);
                } else {
                    InfoAttempts++;
                }
                break;
            default:
                Acknowledge(Adapter, Event);
                break;
        }
        Adapter->PendingEvents |= HwReadReg(Adapter, REG_EVENT_STATUS);
    }

    while (Adapter->SendQueueCount > 0) {
        if (SendNextQueued(Adapter) != 0) break;
    }
    while (Adapter->SendDoneHead != NULL) {
        PNDIS_PACKET Packet = SendDonePop(Adapter);
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMSendComplete(Adapter->MiniportHandle, Packet, NDIS_STATUS_SUCCESS);
        NdisAcquireSpinLock(&Adapter->Lock);
    }
    NdisReleaseSpinLock(&Adapter->Lock);
}

VOID NDIS_API PollTimerCallback(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    MiniportHandleInterrupt(FunctionContext);
}
