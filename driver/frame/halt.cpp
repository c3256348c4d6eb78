// Halt, shutdown and reset.
#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"

// Undoes MiniportInitialize. No packet is left uncompleted: waiting packets
// fail, packets the controller already took succeed, both before the
// controller is disabled.
VOID NDIS_API MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
    PADAPTER Adapter = (PADAPTER)MiniportAdapterContext;
    PNDIS_PACKET Waiting;
    PNDIS_PACKET Taken;
    BOOLEAN Cancelled;

    // Under Lock so that no event loop run can be touching the queues.
    NdisAcquireSpinLock(&Adapter->Lock);
    TakeSendPackets(Adapter, &Waiting, &Taken);
    NdisReleaseSpinLock(&Adapter->Lock);
    CompletePacketChain(Adapter, Waiting, NDIS_STATUS_FAILURE);
    CompletePacketChain(Adapter, Taken, NDIS_STATUS_SUCCESS);

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
    // No lock: shutdown may run where spin locks cannot be taken.
    PNDIS_PACKET Waiting;
    PNDIS_PACKET Taken;
    TakeSendPackets(Adapter, &Waiting, &Taken);
    CompletePacketChain(Adapter, Waiting, NDIS_STATUS_FAILURE);
    CompletePacketChain(Adapter, Taken, NDIS_STATUS_SUCCESS);
    if (Adapter->PollInDriver == 1) {
        for (int Timer = 0; Timer < POLL_TIMER_COUNT; Timer++) NdisMCancelTimer(&Adapter->PollTimers[Timer], &Cancelled);
    }
}

NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    (void)AddressingReset;
    (void)MiniportAdapterContext;
    return NDIS_STATUS_SUCCESS;
}
