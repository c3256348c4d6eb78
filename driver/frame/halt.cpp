// Halt, shutdown and reset.
#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"

// Takes every packet out of the send queue (to fail) and out of SendDone (to
// succeed), under Lock so that no event loop run can be touching them.
static VOID TakePackets(PADAPTER Adapter, PNDIS_PACKET* Waiting, PNDIS_PACKET* Taken) {
    NdisAcquireSpinLock(&Adapter->Lock);
    *Waiting = NULL;
    PNDIS_PACKET Tail = NULL;
    while (Adapter->SendQueueHead != NULL && Adapter->SendQueueCount > 0) {
        PNDIS_PACKET Packet = SendQueuePop(Adapter);
        Adapter->SendErrors++;
        if (Tail == NULL) {
            *Waiting = Packet;
        } else {
            SetPacketLink(Tail, Packet);
        }
        Tail = Packet;
    }
    Adapter->SendQueueHead = Adapter->SendQueueTail = NULL;
    Adapter->SendQueueCount = 0;
    *Taken = Adapter->SendDoneHead;
    Adapter->SendDoneHead = Adapter->SendDoneTail = NULL;
    NdisReleaseSpinLock(&Adapter->Lock);
}

static VOID CompleteChain(PADAPTER Adapter, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    while (Packet != NULL) {
        PNDIS_PACKET Next = PacketLink(Packet);
        SetPacketLink(Packet, NULL);
        NdisMSendComplete(Adapter->MiniportHandle, Packet, Status);
        Packet = Next;
    }
}

// Undoes MiniportInitialize. No packet is left uncompleted: waiting packets
// fail, packets the controller already took succeed, both before the
// controller is disabled.
VOID NDIS_API MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    PNDIS_PACKET Waiting;
    PNDIS_PACKET Taken;
    BOOLEAN Cancelled;

    TakePackets(Adapter, &Waiting, &Taken);
    CompleteChain(Adapter, Waiting, NDIS_STATUS_FAILURE);
    CompleteChain(Adapter, Taken, NDIS_STATUS_SUCCESS);

    HwWriteReg(Adapter, REG_INT_ENABLE, 0);
    HwAckEvents(Adapter, EV_ALL);
    HwDisablePort(Adapter);
    NdisMDeregisterAdapterShutdownHandler(Adapter->MiniportHandle);
    NdisMCancelTimer(&Adapter->LinkMonitorTimer, &Cancelled);
    if (Adapter->PollInDriver == 1) {
        for (int Timer = 0; Timer < POLL_TIMER_COUNT; Timer++) NdisMCancelTimer(&Adapter->PollTimers[Timer], &Cancelled);
    } else {
        NdisMDeregisterInterrupt(&Adapter->Interrupt);
    }
    NdisMDeregisterIoPortRange(Adapter->MiniportHandle, Adapter->IoBaseAddress, 64, (PVOID)(ULONG_PTR)Adapter->IoBase);
    NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
}

// Quiets and resets the controller and completes every packet; frees nothing.
VOID NDIS_API MiniportShutdown(PVOID ShutdownContext) {
    PADAPTER Adapter = (PADAPTER)ShutdownContext;
    BOOLEAN Cancelled;

    NdisMCancelTimer(&Adapter->LinkMonitorTimer, &Cancelled);
    HwWriteReg(Adapter, REG_INT_ENABLE, 0);
    HwAckEvents(Adapter, EV_ALL);
    HwDisablePort(Adapter);
    HwResetController(Adapter);
    Adapter->SendQueueDrained = 0;
    while (Adapter->SendQueueHead != NULL && Adapter->SendQueueCount > 0) {
        PNDIS_PACKET Packet = SendQueuePop(Adapter);
        Adapter->SendErrors++;
        NdisMSendComplete(Adapter->MiniportHandle, Packet, NDIS_STATUS_FAILURE);
    }
    Adapter->SendQueueHead = Adapter->SendQueueTail = NULL;
    Adapter->SendQueueCount = 0;
    while (Adapter->SendDoneHead != NULL) {
        NdisMSendComplete(Adapter->MiniportHandle, SendDonePop(Adapter), NDIS_STATUS_SUCCESS);
    }
    Adapter->SendDoneTail = NULL;
    if (Adapter->PollInDriver == 1) {
        for (int Timer = 0; Timer < POLL_TIMER_COUNT; Timer++) NdisMCancelTimer(&Adapter->PollTimers[Timer], &Cancelled);
    }
}

NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    (void)AddressingReset;
    (void)MiniportAdapterContext;
    return NDIS_STATUS_SUCCESS;
}
