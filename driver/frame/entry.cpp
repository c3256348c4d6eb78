// Driver entry: binds the driver to NDIS and registers the handler table.
#include <string.h>

#include "driver/mirelnd.h"

extern "C" NTSTATUS NDIS_API DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NDIS_HANDLE WrapperHandle;
    NDIS_MINIPORT_CHARACTERISTICS Characteristics;

    NdisInitializeWrapper(&WrapperHandle, DriverObject, RegistryPath, NULL);

    memset(&Characteristics, 0, sizeof(Characteristics));
    Characteristics.MajorNdisVersion = 4;
    Characteristics.MinorNdisVersion = 0;
    Characteristics.CheckForHangHandler = NULL;
    Characteristics.DisableInterruptHandler = MiniportDisableInterrupt;
    Characteristics.EnableInterruptHandler = MiniportEnableInterrupt;
    Characteristics.HaltHandler = MiniportHalt;
    Characteristics.HandleInterruptHandler = MiniportHandleInterrupt;
    Characteristics.InitializeHandler = MiniportInitialize;
    Characteristics.ISRHandler = MiniportISR;
    Characteristics.QueryInformationHandler = MiniportQueryInformation;
    Characteristics.ReconfigureHandler = NULL;
    Characteristics.ResetHandler = MiniportReset;
    Characteristics.SendHandler = NULL;  // frames arrive only through SendPackets
    Characteristics.SetInformationHandler = MiniportSetInformation;
    Characteristics.TransferDataHandler = MiniportTransferData;
    Characteristics.ReturnPacketHandler = NULL;
    Characteristics.SendPacketsHandler = MiniportSendPackets;
    Characteristics.AllocateCompleteHandler = NULL;

    return NdisMRegisterMiniport(WrapperHandle, &Characteristics, sizeof(Characteristics));
}
