// Adapter initialization: the medium, the Adapter record, the registry, the
// driver's attributes, the I/O ports, the controller brought up with its whole
// configuration, and either the interrupt or fifty poll timers.
#include <string.h>

#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"

static VOID LogError(NDIS_HANDLE Handle, NDIS_ERROR_CODE Code) { NdisWriteErrorLogEntry(Handle, Code, 1, (ULONG)1); }

static VOID ReleasePorts(PADAPTER Adapter) {
    NdisMDeregisterIoPortRange(Adapter->MiniportHandle, Adapter->IoBaseAddress, 64,
                               (PVOID)(ULONG_PTR)Adapter->IoBase);
}

// Brings the controller up. On failure everything CardInitialize acquired,
// and the port range, is released again; the caller frees the Adapter.
NDIS_STATUS CardInitialize(PADAPTER Adapter) {
    HwWriteReg(Adapter, REG_INT_ENABLE, 0);
    if (HwResetController(Adapter) != 0) {
        ReleasePorts(Adapter);
        LogError(Adapter->MiniportHandle, NDIS_ERROR_CODE_TIMEOUT);
        return NDIS_STATUS_FAILURE;
    }
    WepInit(Adapter);
    CardApplyConfiguration(Adapter);

    Adapter->VendorEncap = 0;
    Adapter->VendorInfoReceived = 0;
    Adapter->MonitorMode = 0;
    Adapter->CardRemoved = 0;
    Adapter->RestartPending = 0;
    Adapter->BssList.NumberOfItems = 0;
    Adapter->FramesSentOk = Adapter->BytesSent = Adapter->SendErrors = 0;
    Adapter->FramesReceivedOk = Adapter->BytesReceived = Adapter->ReceiveErrors = 0;
    Adapter->CurrentChannel = 10;
    Adapter->LinkLossTicks = 0;
    Adapter->ScanState = SCAN_STARTED;
    Adapter->EapolState = 0;

    // No status is told to NDIS yet.
    if (Adapter->NetworkMode == 3) {
        Adapter->LinkState = 1;
        Adapter->PortStatus = 1;
        Adapter->MediaDisconnected = 0;
    } else {
        Adapter->LinkState = 0;
        Adapter->PortStatus = 0;
        Adapter->MediaDisconnected = 1;
    }

    if (Adapter->PollInDriver == 0) {
        NDIS_STATUS Status = NdisMRegisterInterrupt(&Adapter->Interrupt, Adapter->MiniportHandle,
                                                    Adapter->InterruptNumber, Adapter->InterruptNumber, TRUE, TRUE,
                                                    NdisInterruptLevelSensitive);
        if (Status != NDIS_STATUS_SUCCESS) {
            HwWriteReg(Adapter, REG_INT_ENABLE, 0);
            ReleasePorts(Adapter);
            LogError(Adapter->MiniportHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT);
            return Status;
        }
    }

    NdisMInitializeTimer(&Adapter->LinkMonitorTimer, Adapter->MiniportHandle, LinkMonitorTick, Adapter);
    Adapter->TickCount = 0;
    NdisMSetPeriodicTimer(&Adapter->LinkMonitorTimer, LINK_MONITOR_PERIOD_MS);

    if (Adapter->RadioDisable == 1) {
        HwDisablePort(Adapter);
    } else {
        USHORT Record[RECORD_BUFFER_WORDS] = {0};
        Record[0] = 6;
        Record[1] = RID_FD0D;
        if (HwReadRecord(Adapter, Record) == 0 && Record[4] < 2 && Adapter->NetworkMode != 3) {
            // Look for any network first; the link monitor puts the name back.
            HwSetEmptyDesiredSsid(Adapter);
            Adapter->ScanState = SCAN_EMPTY_SSID;
        }
        HwEnablePort(Adapter);
    }

    if (CardAllocateTxBuffers(Adapter) != 0) {
        BOOLEAN Cancelled;
        HwWriteReg(Adapter, REG_INT_ENABLE, 0);
        NdisMCancelTimer(&Adapter->LinkMonitorTimer, &Cancelled);
        if (Adapter->PollInDriver == 0) NdisMDeregisterInterrupt(&Adapter->Interrupt);
        ReleasePorts(Adapter);
        return NDIS_STATUS_FAILURE;
    }

    Adapter->SendQueueHead = Adapter->SendQueueTail = NULL;
    Adapter->SendQueueCount = 0;
    Adapter->SendDoneHead = Adapter->SendDoneTail = NULL;
    HwWriteReg(Adapter, REG_INT_ENABLE, INT_ENABLE_MASK);

    HwGetRecordName(Adapter, RID_CURRENT_SSID, Adapter->CurrentSsid, &Adapter->CurrentSsidLength);
    HwGetRecordName(Adapter, RID_OWN_SSID, Adapter->OwnSsid, &Adapter->OwnSsidLength);
    memset(Adapter->MonitorFilter, 0, 4);

    if (Adapter->NetworkMode == 3) {
        UCHAR Length = Adapter->EssidLength > 32 ? 32 : Adapter->EssidLength;
        memcpy(Adapter->CurrentSsid, Adapter->Essid, Length);
        Adapter->CurrentSsidLength = Length;
        memcpy(Adapter->OwnSsid, Adapter->Essid, Length);
        Adapter->OwnSsidLength = Length;
        Adapter->CurrentChannel = Adapter->Channel;
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NDIS_API MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                        PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                        NDIS_HANDLE MiniportAdapterHandle,
                                        NDIS_HANDLE WrapperConfigurationContext) {
    (void)OpenErrorStatus;
    UINT Index = MediumArraySize;
    while (Index > 0 && MediumArray[Index - 1] != NdisMedium802_3) Index--;
    if (Index == 0) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = Index - 1;

    PVOID Memory = NULL;
    NDIS_STATUS Status = NdisAllocateMemoryWithTag(&Memory, sizeof(ADAPTER), MIREL_POOL_TAG);
    if (Status != NDIS_STATUS_SUCCESS) {
        LogError(MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES);
        return Status;
    }
    PADAPTER Adapter = (PADAPTER)Memory;
    memset(Adapter, 0, sizeof(ADAPTER));
    Adapter->CurrentLookahead = 1508;
    Adapter->MaxMulticastList = 32;
    Adapter->MiniportHandle = MiniportAdapterHandle;

    Status = ReadRegistryConfiguration(Adapter, WrapperConfigurationContext);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
        return Status;
    }
    // Only 0 (interrupt) and 1 (polled) are defined; any other value asks
    // for polling, so that the adapter always services its events.
    if (Adapter->PollInDriver > 1) Adapter->PollInDriver = 1;

    NdisMSetAttributesEx(MiniportAdapterHandle, Adapter, 0,
                         NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND, NdisInterfaceIsa);

    PVOID PortBase = NULL;
    Status = NdisMRegisterIoPortRange(&PortBase, MiniportAdapterHandle, Adapter->IoBaseAddress, 64);
    if (Status != NDIS_STATUS_SUCCESS) {
        LogError(MiniportAdapterHandle, NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS);
        NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
        return Status;
    }
    Adapter->IoBase = (ULONG)(ULONG_PTR)PortBase;

    Status = CardInitialize(Adapter);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(Adapter, sizeof(ADAPTER), 0);
        return Status;
    }

    NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, Adapter, MiniportShutdown);

    if (Adapter->PollInDriver == 1) {
        for (int Timer = 0; Timer < POLL_TIMER_COUNT; Timer++) {
            NdisMInitializeTimer(&Adapter->PollTimers[Timer], MiniportAdapterHandle, PollTimerCallback, Adapter);
        }
        // Their phases lie 20 microseconds apart.
        for (int Timer = 0; Timer < POLL_TIMER_COUNT; Timer++) {
            NdisMSetPeriodicTimer(&Adapter->PollTimers[Timer], 1);
            KeStallExecutionProcessor(20);
        }
    }
    return NDIS_STATUS_SUCCESS;
}
