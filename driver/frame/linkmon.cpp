// The link monitor: once a second it samples throughput, ends an empty-SSID
// scan, turns the controller's link status into media connect and disconnect
// indications (a lost link after three ticks of grace), and repeats survey
// scans on firmware that takes scan requests.
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"

static BOOLEAN PortConnected(USHORT PortStatus) { return PortStatus == 1 || PortStatus == 3 || PortStatus == 5; }

// Puts the configured name back after a scan with an empty desired SSID.
static VOID RestoreDesiredSsid(PADAPTER Adapter) {
    NdisAcquireSpinLock(&Adapter->Lock);
    HwInquire(Adapter, INFO_TYPE_SCAN);
    if (Adapter->NetworkMode == 1) {
        Adapter->LinkState = 0;
        Adapter->PortStatus = 0;
        Adapter->MediaDisconnected = 1;
    }
    HwDisablePort(Adapter);
    HwSetDesiredSsid(Adapter);
    HwEnablePort(Adapter);
    HwGetRecordName(Adapter, RID_OWN_SSID, Adapter->OwnSsid, &Adapter->OwnSsidLength);
    Adapter->ScanState = SCAN_IDLE;
    NdisReleaseSpinLock(&Adapter->Lock);
}

VOID NDIS_API LinkMonitorTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                              PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    PADAPTER Adapter = (PADAPTER)FunctionContext;
    ULONG Tick = ++Adapter->TickCount;

    if (Tick % 3 == 0) {
        // Unsigned differences survive a counter that wrapped around.
        Adapter->TxThroughput = (Adapter->BytesSent - Adapter->TxBytesAtSample) / 5 / 1024;
        Adapter->TxBytesAtSample = Adapter->BytesSent;
        Adapter->RxThroughput = (Adapter->BytesReceived - Adapter->RxBytesAtSample) / 5 / 1024;
        Adapter->RxBytesAtSample = Adapter->BytesReceived;
    }

    if (Adapter->ScanState == SCAN_EMPTY_SSID) {
        if ((Tick < 3 && PortConnected(Adapter->PortStatus)) || Tick == 3) RestoreDesiredSsid(Adapter);
    }

    if (Adapter->ScanState != SCAN_SURVEY && Adapter->ScanState != SCAN_EMPTY_SSID) {
        if (PortConnected(Adapter->PortStatus)) {
            Adapter->LinkLossTicks = 0;
            Adapter->LinkState = 1;
        } else {
            Adapter->LinkLossTicks++;
            if (Adapter->LinkLossTicks > 3) Adapter->LinkState = 2;
        }
        if (Adapter->MediaDisconnected == 0 && Adapter->LinkState != 1) {
            Adapter->MediaDisconnected = 1;
            IndicateMediaStatus(Adapter, NDIS_STATUS_MEDIA_DISCONNECT);
        } else if (Adapter->MediaDisconnected == 1 && Adapter->LinkState == 1) {
            Adapter->MediaDisconnected = 0;
            IndicateMediaStatus(Adapter, NDIS_STATUS_MEDIA_CONNECT);
        }
    }

    if (Adapter->ScanState == SCAN_SURVEY && HwNewerFirmware(Adapter)) {
        NdisAcquireSpinLock(&Adapter->Lock);
        HwRequestScan(Adapter);
        NdisReleaseSpinLock(&Adapter->Lock);
    }
}
