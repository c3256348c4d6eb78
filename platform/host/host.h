// The simulated NDIS host: plays Windows for a miniport driver on a virtual
// clock and checks, as a driver verifier would, that the driver keeps the
// rules of NDIS.
//
// A Host owns no global state. The NDIS and HAL entry points the driver calls
// are plain functions; they find the host (and the adapter being served)
// through a per-thread context that the host sets whenever it calls into the
// driver. Several hosts, each with several adapters, can therefore live in one
// process, and a scheduler may be shared between hosts so that they and the
// devices on their buses run on one clock.
//
// Execution model. One simulated processor. Handlers run at the level NDIS
// would call them at. KeStallExecutionProcessor moves the clock; while it
// does, device events happen and an asserted, registered interrupt line runs
// the driver's ISR at device level, exactly as hardware would interrupt a
// busy-waiting driver. Deferred work - the interrupt DPC (MiniportHandle-
// Interrupt, then MiniportEnableInterrupt) and expired timers - runs at the
// next dispatch point: when control returns to the host from the outermost
// driver call, and while the host advances the clock itself (RunFor).
#ifndef MIREL_PLATFORM_HOST_HOST_H
#define MIREL_PLATFORM_HOST_HOST_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hal.h"
#include "platform/host/registry.h"
#include "platform/ndis.h"
#include "sim/io_device.h"
#include "sim/scheduler.h"

namespace host {

using sim::Micros;
using Bytes = std::vector<std::uint8_t>;
using DriverEntryFunction = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// --- verifier ------------------------------------------------------------------

enum class Rule {
    kSpinLockRecursion,        // acquired while already held
    kSpinLockNotHeld,          // released while not held
    kSpinLockHeldOnReturn,     // still held when a handler returned
    kSpinLockAtDeviceLevel,    // taken in an ISR
    kSpinLockUninitialized,    // storage not zero (never initialized)
    kLockHeldAcrossCall,       // held across a send completion or an indication
    kPacketCompletedTwice,
    kPacketUnknown,            // completion of a packet the host never sent
    kPacketNeverCompleted,
    kPacketCompletedWhileQueued,
    kPacketUsedAfterCompletion,
    kResourceLeak,             // memory, timer, interrupt, ports, configuration handle
    kPortOutsideRange,
    kPortAfterDeregistration,
    kBadMemoryFree,
    kTimerMisuse,
    kInterruptMisuse,
    kBadCall,                  // a call NDIS would reject (bad handle, wrong level, ...)
};
const char* RuleName(Rule rule);

struct Violation {
    Rule rule;
    std::string message;
};

// --- protocol side -------------------------------------------------------------

using PacketId = std::uint64_t;

struct PacketState {
    bool completed = false;
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    int completions = 0;
    Micros completed_at = 0;
};

struct Indication {
    enum class Kind { kReceive, kReceiveComplete, kStatus, kStatusComplete } kind = Kind::kReceive;
    Micros time = 0;
    NDIS_STATUS status = 0;  // kStatus
    Bytes header;            // kReceive
    Bytes lookahead;         // kReceive
    UINT packet_size = 0;    // kReceive
    Bytes status_buffer;     // kStatus
};

struct TransferResult {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    UINT bytes_transferred = 0;
    Bytes data;  // the bytes that landed in the packet's buffers, in order
};

class Host;

// Handed to the protocol's receive handler for one indication.
class ReceiveContext {
  public:
    const Bytes& header() const { return indication_.header; }
    const Bytes& lookahead() const { return indication_.lookahead; }
    UINT packet_size() const { return indication_.packet_size; }
    // NdisTransferData into a packet of the given buffer sizes (one buffer of
    // `count` bytes when `chunks` is empty).
    TransferResult TransferData(UINT offset, UINT count, std::vector<UINT> chunks = {});
    // Sends from inside the receive indication, as a protocol may.
    std::vector<PacketId> Send(const std::vector<Bytes>& frames);

  private:
    friend class Host;
    ReceiveContext(Host& host, int adapter, NDIS_HANDLE receive_context, const Indication& ind)
        : host_(host), adapter_(adapter), receive_context_(receive_context), indication_(ind) {}
    Host& host_;
    int adapter_;
    NDIS_HANDLE receive_context_;
    const Indication& indication_;
};

struct QueryResult {
    NDIS_STATUS status = 0;
    std::optional<ULONG> bytes_written;  // empty: the driver did not write it
    std::optional<ULONG> bytes_needed;
    Bytes data;  // the caller's buffer after the call
};

struct SetResult {
    NDIS_STATUS status = 0;
    std::optional<ULONG> bytes_read;
    std::optional<ULONG> bytes_needed;
};

// --- adapters ----------------------------------------------------------------

struct AdapterSetup {
    Registry registry;
    std::vector<NDIS_MEDIUM> media = {NdisMedium802_3};
    // NdisOpenConfiguration fails with this status when set.
    std::optional<NDIS_STATUS> open_configuration_fails;
};

struct ErrorLogEntry {
    NDIS_ERROR_CODE code;
    std::vector<ULONG> values;
};

struct MemoryBlock {
    std::size_t size;
    std::string tag;  // the four tag characters in memory order
    int adapter;      // -1 when no adapter was being served
};

struct TimerInfo {
    PNDIS_MINIPORT_TIMER timer;
    bool armed;
    Micros due;
    Micros period;  // 0 for a one-shot timer
    std::uint64_t fired;
};

struct IsrCall {
    Micros time;
    bool recognized;
    bool queued;
};

class Host {
  public:
    explicit Host(sim::Scheduler& scheduler);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    sim::Scheduler& scheduler() { return scheduler_; }
    Micros Now() const { return scheduler_.Now(); }

    // --- the driver ----------------------------------------------------------
    // Calls DriverEntry the way the system loads a driver. Returns its status.
    NTSTATUS LoadDriver(DriverEntryFunction entry);
    bool DriverRegistered() const { return registered_; }
    const NDIS_MINIPORT_CHARACTERISTICS& Characteristics() const { return characteristics_; }
    UINT CharacteristicsLength() const { return characteristics_length_; }
    // The arguments DriverEntry gave NdisInitializeWrapper.
    struct WrapperCall {
        PVOID system_specific1, system_specific2, system_specific3;
    };
    const std::vector<WrapperCall>& WrapperCalls() const { return wrapper_calls_; }
    // Makes the next NdisMRegisterMiniport fail with `status`.
    void FailMiniportRegistration(NDIS_STATUS status) { fail_registration_ = status; }

    // --- the bus -------------------------------------------------------------
    // Puts a device on the I/O bus at `port_base` with its interrupt on `irq`.
    void AttachDevice(ULONG port_base, ULONG ports, sim::IoDevice* device, UINT irq);
    // Registered port ranges are mapped at physical + offset (default 0x10000)
    // so that a driver that confuses the two addresses is caught.
    void SetPortMappingOffset(ULONG offset) { port_mapping_offset_ = offset; }

    // --- adapter lifecycle ---------------------------------------------------
    int AddAdapter(AdapterSetup setup);
    AdapterSetup& Setup(int adapter);
    NDIS_STATUS Initialize(int adapter);
    UINT SelectedMedium(int adapter) const;
    void Halt(int adapter);
    void Shutdown(int adapter);
    NDIS_STATUS Reset(int adapter, bool* addressing_reset = nullptr);
    bool Running(int adapter) const;
    NDIS_HANDLE Context(int adapter) const;  // MiniportAdapterContext
    NDIS_HANDLE Handle(int adapter);          // MiniportAdapterHandle
    // Runs `body` as if the driver were running for `adapter` at `irql`: the
    // NDIS and HAL calls it makes are served and checked as the driver's own.
    // For tests that exercise driver internals below the handler level.
    void CallAsDriver(int adapter, const std::function<void()>& body, KIRQL irql = DISPATCH_LEVEL);
    // Runs `body` as driver code inside MiniportInitialize of `adapter`,
    // handing it the miniport handle and the WrapperConfigurationContext.
    void CallAsInitialize(int adapter, const std::function<void(NDIS_HANDLE handle, NDIS_HANDLE context)>& body);
    // The keywords the driver read with NdisReadConfiguration, in order;
    // "(network address)" marks NdisReadNetworkAddress.
    const std::vector<std::string>& ConfigurationReads(int adapter) const;

    // Fault injection on the host side.
    void FailNextAllocation(NDIS_STATUS status = NDIS_STATUS_FAILURE) { fail_allocations_.push_back(status); }
    void FailNextPortRegistration(NDIS_STATUS status) { fail_port_registration_ = status; }
    void FailNextInterruptRegistration(NDIS_STATUS status) { fail_interrupt_registration_ = status; }

    // --- time ------------------------------------------------------------------
    // Advances the clock by `us`, delivering device events, interrupts, DPCs
    // and timers in time order.
    void RunFor(Micros us);
    // Runs until `done()` holds (checked at every dispatch point) or `limit`
    // microseconds have passed. Returns whether `done()` held.
    bool RunUntil(const std::function<bool()>& done, Micros limit);

    // --- protocol side -----------------------------------------------------------
    // Sends frames through MiniportSendPackets in one call. Each frame is cut
    // into buffers of the given sizes (one buffer when `chunks` is empty).
    std::vector<PacketId> Send(int adapter, const std::vector<Bytes>& frames,
                               const std::vector<std::vector<UINT>>& chunks = {});
    // A packet with no buffers at all.
    PacketId SendEmptyPacket(int adapter);
    const PacketState& Packet(PacketId id) const;
    std::size_t OutstandingPackets(int adapter) const;
    // NDIS_SET_PACKET_STATUS as last set by the driver.
    NDIS_STATUS PacketStatusField(PacketId id) const;

    using ReceiveHandler = std::function<void(ReceiveContext&)>;
    void SetReceiveHandler(int adapter, ReceiveHandler handler);
    using StatusHandler = std::function<void(NDIS_STATUS status)>;
    void SetStatusHandler(int adapter, StatusHandler handler);
    // Called for every NdisMSendComplete, after it has been checked.
    using SendCompleteHandler = std::function<void(PacketId id, NDIS_STATUS status)>;
    void SetSendCompleteHandler(int adapter, SendCompleteHandler handler);
    const std::vector<Indication>& Indications(int adapter) const;
    void ClearIndications(int adapter);
    // Received frames rebuilt from header + lookahead (complete when the
    // lookahead covered the packet).
    std::vector<Bytes> ReceivedFrames(int adapter) const;
    std::vector<NDIS_STATUS> StatusIndications(int adapter) const;
    TransferResult TransferData(int adapter, NDIS_HANDLE receive_context, UINT offset, UINT count,
                                std::vector<UINT> chunks = {});

    QueryResult Query(int adapter, NDIS_OID oid, ULONG buffer_length);
    SetResult Set(int adapter, NDIS_OID oid, const Bytes& buffer);

    // --- accounting ----------------------------------------------------------------
    const std::vector<ErrorLogEntry>& ErrorLog(int adapter) const;
    std::vector<MemoryBlock> Memory(int adapter) const;
    std::size_t MemoryInUse(int adapter) const;
    std::vector<TimerInfo> Timers(int adapter) const;
    std::size_t ArmedTimers(int adapter) const;
    bool InterruptRegistered(int adapter) const;
    struct InterruptInfo {
        UINT vector, level;
        bool request_isr, shared;
        NDIS_INTERRUPT_MODE mode;
    };
    std::optional<InterruptInfo> Interrupt(int adapter) const;
    struct PortRangeInfo {
        UINT initial_port, ports;
        ULONG mapped;
    };
    std::vector<PortRangeInfo> PortRanges(int adapter) const;
    bool ShutdownHandlerRegistered(int adapter) const;
    int OpenConfigurationHandles(int adapter) const;
    struct Attributes {
        bool set = false;
        NDIS_HANDLE context = nullptr;
        UINT check_for_hang_seconds = 0;
        ULONG flags = 0;
        NDIS_INTERFACE_TYPE interface_type = 0;
    };
    const Attributes& AttributesOf(int adapter) const;
    const std::vector<IsrCall>& IsrCalls(int adapter) const;
    std::uint64_t DpcCount(int adapter) const;
    std::uint64_t Stalls() const { return stall_calls_; }
    Micros StalledMicros() const { return stalled_us_; }
    // Every NDIS library call the driver made, by name, in order (bounded).
    const std::deque<std::string>& CallLog() const { return call_log_; }
    void ClearCallLog() { call_log_.clear(); }

    // --- verifier ------------------------------------------------------------------
    const std::vector<Violation>& Violations() const { return violations_; }
    void ClearViolations() { violations_.clear(); }
    bool HasViolation(Rule rule) const;
    // Called for every violation as it happens (after it is recorded). The
    // default handler prints it to stderr.
    void SetViolationHandler(std::function<void(const Violation&)> handler) { on_violation_ = std::move(handler); }

    // --- entry points used by the NDIS/HAL functions ---------------------------------
    struct Block;
    static Host* Current();
    static Block* CurrentBlock();

    // Called by the exported platform functions; not for tests.
    void ApiInitializeWrapper(PNDIS_HANDLE handle, PVOID s1, PVOID s2, PVOID s3);
    NDIS_STATUS ApiRegisterMiniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length);
    void ApiOpenConfiguration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context);
    void ApiReadConfiguration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                              PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type);
    void ApiReadNetworkAddress(PNDIS_STATUS status, PVOID* address, PUINT length, NDIS_HANDLE handle);
    void ApiCloseConfiguration(NDIS_HANDLE handle);
    NDIS_STATUS ApiUnicodeToAnsi(PANSI_STRING dst, PUNICODE_STRING src);
    NDIS_STATUS ApiAllocateMemory(PVOID* va, UINT length, ULONG tag);
    void ApiFreeMemory(PVOID va, UINT length, UINT flags);
    void ApiSetAttributesEx(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang, ULONG flags,
                            NDIS_INTERFACE_TYPE type);
    NDIS_STATUS ApiRegisterIoPortRange(PVOID* offset, NDIS_HANDLE handle, UINT initial, UINT count);
    void ApiDeregisterIoPortRange(NDIS_HANDLE handle, UINT initial, UINT count, PVOID offset);
    NDIS_STATUS ApiRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle, UINT vector,
                                     UINT level, BOOLEAN request_isr, BOOLEAN shared,
                                     NDIS_INTERRUPT_MODE mode);
    void ApiDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT interrupt);
    void ApiInitializeTimer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn,
                            PVOID context);
    void ApiSetTimer(PNDIS_MINIPORT_TIMER timer, UINT ms, bool periodic);
    void ApiCancelTimer(PNDIS_MINIPORT_TIMER timer, PBOOLEAN cancelled);
    void ApiRegisterShutdownHandler(NDIS_HANDLE handle, PVOID context, ADAPTER_SHUTDOWN_HANDLER fn);
    void ApiDeregisterShutdownHandler(NDIS_HANDLE handle);
    void ApiWriteErrorLogEntry(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values);
    void ApiAcquireSpinLock(PNDIS_SPIN_LOCK lock);
    void ApiReleaseSpinLock(PNDIS_SPIN_LOCK lock);
    void ApiGetFirstBuffer(PNDIS_PACKET packet, PNDIS_BUFFER* first, PVOID* va, PUINT length, PUINT total);
    void ApiQueryBuffer(PNDIS_BUFFER buffer, PVOID* va, PUINT length);
    void ApiGetNextBuffer(PNDIS_BUFFER buffer, PNDIS_BUFFER* next);
    void ApiSetPacketStatus(PNDIS_PACKET packet, NDIS_STATUS status);
    void ApiSendComplete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);
    void ApiIndicateReceive(NDIS_HANDLE handle, NDIS_HANDLE context, PVOID header, UINT header_size,
                            PVOID lookahead, UINT lookahead_size, UINT packet_size);
    void ApiIndicateReceiveComplete(NDIS_HANDLE handle);
    void ApiIndicateStatus(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size);
    void ApiIndicateStatusComplete(NDIS_HANDLE handle);
    USHORT ApiReadPort(PUSHORT port);
    void ApiWritePort(PUSHORT port, USHORT value);
    void ApiStall(ULONG us);

  private:
    friend class ReceiveContext;
    struct HostPacket;
    struct Config;
    struct TimerRecord;
    struct Device {
        ULONG base, ports;
        sim::IoDevice* device;
        UINT irq;
        bool declined = false;  // last interrupt went unclaimed; wait for the line to drop
    };

    Block& B(int adapter);
    const Block& B(int adapter) const;
    Block* BlockFromHandle(NDIS_HANDLE handle, const char* call);
    Config* ConfigFromHandle(NDIS_HANDLE handle, const char* call);
    void Violate(Rule rule, const std::string& message);
    void Log(const char* call);

    // Runs `body` as a call into the driver for `block` at `irql`.
    void CallDriver(Block* block, const char* what, KIRQL irql, const std::function<void()>& body);
    void DispatchPoint();
    void CheckInterrupts();
    void FireTimers();
    bool RunDeferredWork();
    std::optional<Micros> NextTimerDue() const;
    void CheckLocksFree(const char* call);
    void VerifyReleased(Block& block, const char* after);
    HostPacket* FindPacket(PNDIS_PACKET packet);
    HostPacket& NewPacket(Block& block, const Bytes& frame, const std::vector<UINT>& chunks);
    void SendPackets(Block& block, const std::vector<HostPacket*>& packets);
    void RetirePacket(HostPacket& packet);
    TransferResult DoTransfer(Block& block, NDIS_HANDLE receive_context, UINT offset, UINT count,
                              std::vector<UINT> chunks);
    Device* DeviceForPort(ULONG port, ULONG* offset);
    Device* ResolvePort(ULONG address, ULONG* offset, bool* found, bool* deregistered);

    sim::Scheduler& scheduler_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<Device> devices_;
    ULONG port_mapping_offset_ = 0x10000;

    bool wrapper_initialized_ = false;
    std::vector<WrapperCall> wrapper_calls_;
    bool registered_ = false;
    NDIS_MINIPORT_CHARACTERISTICS characteristics_{};
    UINT characteristics_length_ = 0;
    std::optional<NDIS_STATUS> fail_registration_;
    std::deque<NDIS_STATUS> fail_allocations_;
    std::optional<NDIS_STATUS> fail_port_registration_;
    std::optional<NDIS_STATUS> fail_interrupt_registration_;

    // processor state
    KIRQL irql_ = PASSIVE_LEVEL;
    int depth_ = 0;
    bool in_dispatch_ = false;
    bool in_isr_ = false;
    std::map<PNDIS_SPIN_LOCK, KIRQL> held_locks_;  // lock -> level before acquisition

    std::map<PVOID, MemoryBlock> memory_;
    std::map<PNDIS_MINIPORT_TIMER, std::unique_ptr<TimerRecord>> timers_;
    std::uint64_t timer_sequence_ = 0;
    std::uint8_t wrapper_token_ = 0;  // its address is the wrapper handle
    std::uint8_t driver_object_[64] = {};
    std::map<PNDIS_PACKET, HostPacket*> packets_by_address_;
    std::map<PacketId, std::unique_ptr<HostPacket>> packets_;
    std::map<PacketId, PacketState> packet_states_;
    std::deque<PacketId> retired_packets_;
    PacketId next_packet_id_ = 1;

    std::uint64_t stall_calls_ = 0;
    Micros stalled_us_ = 0;
    std::deque<std::string> call_log_;
    std::vector<Violation> violations_;
    std::function<void(const Violation&)> on_violation_;
};

}  // namespace host

#endif  // MIREL_PLATFORM_HOST_HOST_H
