// The NDIS library and HAL entry points as the driver links against them.
// Each forwards to the host that is running the driver on this thread.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/hal.h"
#include "platform/host/host.h"
#include "platform/ndis.h"

namespace {

host::Host& H(const char* call) {
    host::Host* h = host::Host::Current();
    if (h == nullptr) {
        std::fprintf(stderr, "mirel host: %s called outside any host context\n", call);
        std::abort();
    }
    return *h;
}

}  // namespace

VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID SystemSpecific3) {
    H("NdisInitializeWrapper").ApiInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2, SystemSpecific3);
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    return H("NdisMRegisterMiniport").ApiRegisterMiniport(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength);
}

VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle, NDIS_HANDLE WrapperConfigurationContext) {
    H("NdisOpenConfiguration").ApiOpenConfiguration(Status, ConfigurationHandle, WrapperConfigurationContext);
}

VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType) {
    H("NdisReadConfiguration").ApiReadConfiguration(Status, ParameterValue, ConfigurationHandle, Keyword, ParameterType);
}

VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle) {
    H("NdisReadNetworkAddress").ApiReadNetworkAddress(Status, NetworkAddress, NetworkAddressLength, ConfigurationHandle);
}

VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    H("NdisCloseConfiguration").ApiCloseConfiguration(ConfigurationHandle);
}

NDIS_STATUS NdisUnicodeStringToAnsiString(PANSI_STRING DestinationString, PUNICODE_STRING SourceString) {
    return H("NdisUnicodeStringToAnsiString").ApiUnicodeToAnsi(DestinationString, SourceString);
}

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
    return H("NdisAllocateMemoryWithTag").ApiAllocateMemory(VirtualAddress, Length, Tag);
}

VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    H("NdisFreeMemory").ApiFreeMemory(VirtualAddress, Length, MemoryFlags);
}

VOID NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags, NDIS_INTERFACE_TYPE AdapterType) {
    H("NdisMSetAttributesEx")
        .ApiSetAttributesEx(MiniportAdapterHandle, MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags,
                            AdapterType);
}

NDIS_STATUS NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                     UINT NumberOfPorts) {
    return H("NdisMRegisterIoPortRange").ApiRegisterIoPortRange(PortOffset, MiniportAdapterHandle, InitialPort, NumberOfPorts);
}

VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts, PVOID PortOffset) {
    H("NdisMDeregisterIoPortRange").ApiDeregisterIoPortRange(MiniportAdapterHandle, InitialPort, NumberOfPorts, PortOffset);
}

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, NDIS_HANDLE MiniportAdapterHandle,
                                   UINT InterruptVector, UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
    return H("NdisMRegisterInterrupt")
        .ApiRegisterInterrupt(Interrupt, MiniportAdapterHandle, InterruptVector, InterruptLevel, RequestIsr,
                              SharedInterrupt, InterruptMode);
}

VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    H("NdisMDeregisterInterrupt").ApiDeregisterInterrupt(Interrupt);
}

VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    H("NdisMInitializeTimer").ApiInitializeTimer(Timer, MiniportAdapterHandle, TimerFunction, FunctionContext);
}

VOID NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod) {
    H("NdisMSetPeriodicTimer").ApiSetTimer(Timer, MillisecondPeriod, true);
}

VOID NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    H("NdisMSetTimer").ApiSetTimer(Timer, MillisecondsToDelay, false);
}

VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    H("NdisMCancelTimer").ApiCancelTimer(Timer, TimerCancelled);
}

VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    H("NdisMRegisterAdapterShutdownHandler").ApiRegisterShutdownHandler(MiniportHandle, ShutdownContext, ShutdownHandler);
}

VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    H("NdisMDeregisterAdapterShutdownHandler").ApiDeregisterShutdownHandler(MiniportHandle);
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues, ...) {
    std::vector<ULONG> values;
    va_list ap;
    va_start(ap, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues && i < 64; ++i) values.push_back(va_arg(ap, ULONG));
    va_end(ap);
    H("NdisWriteErrorLogEntry").ApiWriteErrorLogEntry(NdisAdapterHandle, ErrorCode, std::move(values));
}

VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) { H("NdisAcquireSpinLock").ApiAcquireSpinLock(SpinLock); }

VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) { H("NdisReleaseSpinLock").ApiReleaseSpinLock(SpinLock); }

VOID NdisGetFirstBufferFromPacket(PNDIS_PACKET Packet, PNDIS_BUFFER* FirstBuffer, PVOID* FirstBufferVA,
                                  PUINT FirstBufferLength, PUINT TotalBufferLength) {
    H("NdisGetFirstBufferFromPacket").ApiGetFirstBuffer(Packet, FirstBuffer, FirstBufferVA, FirstBufferLength, TotalBufferLength);
}

VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    H("NdisQueryBuffer").ApiQueryBuffer(Buffer, VirtualAddress, Length);
}

VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    H("NdisGetNextBuffer").ApiGetNextBuffer(CurrentBuffer, NextBuffer);
}

VOID NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status) {
    H("NDIS_SET_PACKET_STATUS").ApiSetPacketStatus(Packet, Status);
}

VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    H("NdisMSendComplete").ApiSendComplete(MiniportAdapterHandle, Packet, Status);
}

VOID NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                             UINT HeaderBufferSize, PVOID LookaheadBuffer, UINT LookaheadBufferSize, UINT PacketSize) {
    H("NdisMEthIndicateReceive")
        .ApiIndicateReceive(MiniportAdapterHandle, MiniportReceiveContext, HeaderBuffer, HeaderBufferSize,
                            LookaheadBuffer, LookaheadBufferSize, PacketSize);
}

VOID NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle) {
    H("NdisMEthIndicateReceiveComplete").ApiIndicateReceiveComplete(MiniportAdapterHandle);
}

VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                         UINT StatusBufferSize) {
    H("NdisMIndicateStatus").ApiIndicateStatus(MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize);
}

VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    H("NdisMIndicateStatusComplete").ApiIndicateStatusComplete(MiniportAdapterHandle);
}

USHORT READ_PORT_USHORT(PUSHORT Port) { return H("READ_PORT_USHORT").ApiReadPort(Port); }

VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { H("WRITE_PORT_USHORT").ApiWritePort(Port, Value); }

VOID KeStallExecutionProcessor(ULONG MicroSeconds) { H("KeStallExecutionProcessor").ApiStall(MicroSeconds); }
