#include "platform/host/host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace host {

namespace {

constexpr ULONG kSentinel = 0xA5A5A5A5u;
constexpr NDIS_STATUS kStatusBufferOverflow = 0x80000005u;
constexpr std::size_t kCallLogLimit = 100000;
constexpr std::size_t kRetainedPackets = 4096;

struct Tls {
    Host* host = nullptr;
    Host::Block* block = nullptr;
};
thread_local Tls tls;

class Scope {
  public:
    Scope(Host* host, Host::Block* block) : saved_(tls) { tls = Tls{host, block}; }
    ~Scope() { tls = saved_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    Tls saved_;
};

std::string Hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string Ptr(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

Indication MakeIndication(Indication::Kind kind, Micros time) {
    Indication i;
    i.kind = kind;
    i.time = time;
    return i;
}

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return s;
}

}  // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
        case Rule::kSpinLockRecursion: return "spin lock acquired while held";
        case Rule::kSpinLockNotHeld: return "spin lock released while not held";
        case Rule::kSpinLockHeldOnReturn: return "spin lock held when a handler returned";
        case Rule::kSpinLockAtDeviceLevel: return "spin lock taken at device level";
        case Rule::kSpinLockUninitialized: return "spin lock storage not initialized";
        case Rule::kLockHeldAcrossCall: return "spin lock held across a call into NDIS";
        case Rule::kPacketCompletedTwice: return "packet completed twice";
        case Rule::kPacketUnknown: return "unknown packet";
        case Rule::kPacketNeverCompleted: return "packet never completed";
        case Rule::kPacketCompletedWhileQueued: return "packet completed while still queued";
        case Rule::kPacketUsedAfterCompletion: return "packet used after completion";
        case Rule::kResourceLeak: return "resource still held";
        case Rule::kPortOutsideRange: return "port accessed outside a registered range";
        case Rule::kPortAfterDeregistration: return "port accessed after deregistration";
        case Rule::kBadMemoryFree: return "bad memory free";
        case Rule::kTimerMisuse: return "timer misuse";
        case Rule::kInterruptMisuse: return "interrupt misuse";
        case Rule::kBadCall: return "invalid call";
    }
    return "?";
}

// --- internal records -----------------------------------------------------------

struct Host::Config {
    Block* block = nullptr;
    std::deque<NDIS_CONFIGURATION_PARAMETER> parameters;
    std::deque<std::u16string> strings;
    Bytes network_address;
};

struct Host::Block {
    int id = 0;
    AdapterSetup setup;
    enum class State { kAdded, kInitializing, kRunning, kHalted, kFailed } state = State::kAdded;
    UINT selected_medium = 0xFFFFFFFFu;
    Attributes attributes;
    struct PortRange {
        UINT initial, count;
        ULONG mapped;
        bool active;
    };
    std::vector<PortRange> ports;
    struct Interrupt {
        PNDIS_MINIPORT_INTERRUPT object;
        InterruptInfo info;
        bool dpc_pending;
    };
    std::optional<Interrupt> interrupt;
    bool shutdown_registered = false;
    ADAPTER_SHUTDOWN_HANDLER shutdown_handler = nullptr;
    PVOID shutdown_context = nullptr;
    std::vector<std::unique_ptr<Config>> configs;
    std::vector<ErrorLogEntry> error_log;
    std::vector<Indication> indications;
    ReceiveHandler on_receive;
    StatusHandler on_status;
    SendCompleteHandler on_send_complete;
    std::vector<IsrCall> isr_calls;
    std::uint64_t dpcs = 0;
    std::uint8_t config_context = 0;  // its address is the WrapperConfigurationContext
    std::vector<std::string> config_reads;
};

struct Host::HostPacket {
    PacketId id = 0;
    Block* block = nullptr;
    NDIS_PACKET packet{};
    std::vector<NDIS_BUFFER> buffers;
    std::vector<std::unique_ptr<std::uint8_t[]>> storage;
    bool with_driver = false;
    bool transfer = false;  // a packet handed to MiniportTransferData
    PacketState state;
};

// Timers live in the driver's memory; the host keys them by address.
struct Host::TimerRecord {
    int adapter = -1;
    PNDIS_TIMER_FUNCTION function = nullptr;
    PVOID context = nullptr;
    bool armed = false;
    Micros due = 0;
    Micros period = 0;
    std::uint64_t sequence = 0;
    std::uint64_t fired = 0;
};

// --- construction, context ------------------------------------------------------------

Host::Host(sim::Scheduler& scheduler) : scheduler_(scheduler) {
    on_violation_ = [](const Violation& v) {
        std::fprintf(stderr, "mirel verifier: %s: %s\n", RuleName(v.rule), v.message.c_str());
    };
}

Host::~Host() {
    // Memory a driver never freed is reclaimed, as the system does when the
    // driver goes away; the leak itself was reported at Halt.
    for (auto& [p, m] : memory_) std::free(p);
}

Host* Host::Current() { return tls.host; }
Host::Block* Host::CurrentBlock() { return tls.block; }

void Host::Violate(Rule rule, const std::string& message) {
    std::string full = message + " (t=" + std::to_string(Now()) + "us";
    if (tls.block != nullptr) full += ", adapter " + std::to_string(tls.block->id);
    full += ")";
    violations_.push_back(Violation{rule, full});
    if (on_violation_) on_violation_(violations_.back());
}

bool Host::HasViolation(Rule rule) const {
    return std::any_of(violations_.begin(), violations_.end(), [rule](const Violation& v) { return v.rule == rule; });
}

void Host::Log(const char* call) {
    call_log_.emplace_back(call);
    if (call_log_.size() > kCallLogLimit) call_log_.pop_front();
}

Host::Block& Host::B(int adapter) {
    if (adapter < 0 || static_cast<std::size_t>(adapter) >= blocks_.size()) {
        throw std::out_of_range("no adapter " + std::to_string(adapter));
    }
    return *blocks_[static_cast<std::size_t>(adapter)];
}

const Host::Block& Host::B(int adapter) const {
    if (adapter < 0 || static_cast<std::size_t>(adapter) >= blocks_.size()) {
        throw std::out_of_range("no adapter " + std::to_string(adapter));
    }
    return *blocks_[static_cast<std::size_t>(adapter)];
}

Host::Block* Host::BlockFromHandle(NDIS_HANDLE handle, const char* call) {
    for (auto& b : blocks_) {
        if (static_cast<void*>(b.get()) == handle) return b.get();
    }
    Violate(Rule::kBadCall, std::string(call) + " with " + Ptr(handle) + ", which is not a miniport adapter handle");
    return nullptr;
}

// --- calling the driver -------------------------------------------------------------

void Host::CallDriver(Block* block, const char* what, KIRQL irql, const std::function<void()>& body) {
    Scope scope(this, block);
    KIRQL saved_irql = irql_;
    irql_ = irql;
    std::set<PNDIS_SPIN_LOCK> held_before;
    for (const auto& [lock, level] : held_locks_) held_before.insert(lock);
    ++depth_;
    body();
    --depth_;
    for (auto it = held_locks_.begin(); it != held_locks_.end();) {
        if (held_before.count(it->first) == 0) {
            Violate(Rule::kSpinLockHeldOnReturn,
                    "spin lock " + Ptr(it->first) + " still held when " + what + " returned");
            it->first->SpinLock = 0;
            it = held_locks_.erase(it);
        } else {
            ++it;
        }
    }
    irql_ = saved_irql;
    if (depth_ == 0 && !in_isr_) DispatchPoint();
}

void Host::DispatchPoint() {
    if (in_dispatch_ || depth_ > 0 || in_isr_) return;
    in_dispatch_ = true;
    while (RunDeferredWork()) {
    }
    in_dispatch_ = false;
}

bool Host::RunDeferredWork() {
    CheckInterrupts();
    for (auto& bp : blocks_) {
        Block& b = *bp;
        if (!b.interrupt || !b.interrupt->dpc_pending) continue;
        b.interrupt->dpc_pending = false;
        ++b.dpcs;
        NDIS_HANDLE ctx = b.attributes.context;
        CallDriver(&b, "MiniportHandleInterrupt", DISPATCH_LEVEL,
                   [&] { characteristics_.HandleInterruptHandler(ctx); });
        if (b.interrupt && characteristics_.EnableInterruptHandler != nullptr) {
            CallDriver(&b, "MiniportEnableInterrupt", DIRQL_LEVEL,
                       [&] { characteristics_.EnableInterruptHandler(ctx); });
        }
        return true;
    }
    // The earliest expired timer, in the order the timers were set.
    TimerRecord* next = nullptr;
    for (auto& [timer, rec] : timers_) {
        if (!rec->armed || rec->due > Now()) continue;
        if (next == nullptr || rec->due < next->due || (rec->due == next->due && rec->sequence < next->sequence)) {
            next = rec.get();
        }
    }
    if (next == nullptr) return false;
    if (next->period != 0) {
        Micros due = next->due + next->period;
        while (due <= Now()) due += next->period;
        next->due = due;
    } else {
        next->armed = false;
    }
    ++next->fired;
    PNDIS_TIMER_FUNCTION fn = next->function;
    PVOID context = next->context;
    Block* block = next->adapter >= 0 ? &B(next->adapter) : nullptr;
    CallDriver(block, "a timer function", DISPATCH_LEVEL, [&] { fn(nullptr, context, nullptr, nullptr); });
    return true;
}

std::optional<Micros> Host::NextTimerDue() const {
    std::optional<Micros> due;
    for (const auto& [timer, rec] : timers_) {
        if (rec->armed && (!due || rec->due < *due)) due = rec->due;
    }
    return due;
}

void Host::CheckInterrupts() {
    if (in_isr_ || irql_ >= DIRQL_LEVEL) return;
    for (Device& d : devices_) {
        if (!d.device->InterruptAsserted()) {
            d.declined = false;
            continue;
        }
        if (d.declined) continue;
        bool claimed = false;
        for (auto& bp : blocks_) {
            Block& b = *bp;
            if (!b.interrupt || b.interrupt->info.vector != d.irq) continue;
            NDIS_HANDLE ctx = b.attributes.context;
            if (b.interrupt->info.request_isr) {
                BOOLEAN recognized = FALSE;
                BOOLEAN queue = FALSE;
                in_isr_ = true;
                CallDriver(&b, "MiniportISR", DIRQL_LEVEL, [&] { characteristics_.ISRHandler(&recognized, &queue, ctx); });
                in_isr_ = false;
                b.isr_calls.push_back(IsrCall{Now(), recognized != 0, queue != 0});
                if (recognized) {
                    claimed = true;
                    if (queue) b.interrupt->dpc_pending = true;
                    break;
                }
            } else {
                in_isr_ = true;
                CallDriver(&b, "MiniportDisableInterrupt", DIRQL_LEVEL,
                           [&] { characteristics_.DisableInterruptHandler(ctx); });
                in_isr_ = false;
                b.interrupt->dpc_pending = true;
                claimed = true;
                break;
            }
        }
        if (!claimed) {
            d.declined = true;
        } else if (d.device->InterruptAsserted()) {
            Violate(Rule::kInterruptMisuse, "the ISR claimed the interrupt on vector " + std::to_string(d.irq) +
                                                " but left the line asserted");
            d.declined = true;
        }
    }
}

// --- the driver ------------------------------------------------------------------------

NTSTATUS Host::LoadDriver(DriverEntryFunction entry) {
    static const char16_t kPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mirelnd";
    UNICODE_STRING path;
    path.Length = static_cast<USHORT>(sizeof(kPath) - sizeof(char16_t));
    path.MaximumLength = static_cast<USHORT>(sizeof(kPath));
    path.Buffer = const_cast<PWSTR>(kPath);
    NTSTATUS status = 0;
    CallDriver(nullptr, "DriverEntry", PASSIVE_LEVEL,
               [&] { status = entry(reinterpret_cast<PDRIVER_OBJECT>(driver_object_), &path); });
    return status;
}

void Host::ApiInitializeWrapper(PNDIS_HANDLE handle, PVOID s1, PVOID s2, PVOID s3) {
    Log("NdisInitializeWrapper");
    wrapper_calls_.push_back(WrapperCall{s1, s2, s3});
    if (s1 != static_cast<PVOID>(driver_object_)) {
        Violate(Rule::kBadCall, "NdisInitializeWrapper without the driver object given to DriverEntry");
    }
    wrapper_initialized_ = true;
    *handle = &wrapper_token_;
}

NDIS_STATUS Host::ApiRegisterMiniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length) {
    Log("NdisMRegisterMiniport");
    if (wrapper != &wrapper_token_ || !wrapper_initialized_) {
        Violate(Rule::kBadCall, "NdisMRegisterMiniport with a handle NdisInitializeWrapper did not give");
        return NDIS_STATUS_FAILURE;
    }
    if (fail_registration_) {
        NDIS_STATUS s = *fail_registration_;
        fail_registration_.reset();
        return s;
    }
    if (chars->MajorNdisVersion != 4 || chars->MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
    if (length != sizeof(NDIS_MINIPORT_CHARACTERISTICS)) return NDIS_STATUS_BAD_CHARACTERISTICS;
    if (chars->InitializeHandler == nullptr || chars->HaltHandler == nullptr ||
        chars->QueryInformationHandler == nullptr || chars->SetInformationHandler == nullptr ||
        chars->ResetHandler == nullptr || (chars->SendHandler == nullptr && chars->SendPacketsHandler == nullptr)) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    characteristics_ = *chars;
    characteristics_length_ = length;
    registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

// --- bus and adapters ----------------------------------------------------------------

void Host::AttachDevice(ULONG port_base, ULONG ports, sim::IoDevice* device, UINT irq) {
    devices_.push_back(Device{port_base, ports, device, irq, false});
}

Host::Device* Host::DeviceForPort(ULONG port, ULONG* offset) {
    for (Device& d : devices_) {
        if (port >= d.base && port + 2 <= d.base + d.ports) {
            *offset = port - d.base;
            return &d;
        }
    }
    return nullptr;
}

int Host::AddAdapter(AdapterSetup setup) {
    auto b = std::make_unique<Block>();
    b->id = static_cast<int>(blocks_.size());
    b->setup = std::move(setup);
    blocks_.push_back(std::move(b));
    return blocks_.back()->id;
}

AdapterSetup& Host::Setup(int adapter) { return B(adapter).setup; }

bool Host::Running(int adapter) const { return B(adapter).state == Block::State::kRunning; }

NDIS_HANDLE Host::Context(int adapter) const { return B(adapter).attributes.context; }

NDIS_HANDLE Host::Handle(int adapter) { return &B(adapter); }

void Host::CallAsDriver(int adapter, const std::function<void()>& body, KIRQL irql) {
    CallDriver(&B(adapter), "a driver routine", irql, body);
}

void Host::CallAsInitialize(int adapter, const std::function<void(NDIS_HANDLE, NDIS_HANDLE)>& body) {
    Block& b = B(adapter);
    Block::State saved = b.state;
    b.state = Block::State::kInitializing;
    CallDriver(&b, "a driver routine in MiniportInitialize", PASSIVE_LEVEL, [&] { body(&b, &b.config_context); });
    b.state = saved;
}

const std::vector<std::string>& Host::ConfigurationReads(int adapter) const { return B(adapter).config_reads; }

UINT Host::SelectedMedium(int adapter) const { return B(adapter).selected_medium; }

NDIS_STATUS Host::Initialize(int adapter) {
    Block& b = B(adapter);
    if (!registered_) throw std::logic_error("Initialize before the driver registered");
    if (b.state == Block::State::kRunning || b.state == Block::State::kInitializing) {
        throw std::logic_error("adapter " + std::to_string(adapter) + " is already initialized");
    }
    b.state = Block::State::kInitializing;
    b.attributes = Attributes{};
    b.selected_medium = 0xFFFFFFFFu;
    std::vector<NDIS_MEDIUM> media = b.setup.media;
    NDIS_STATUS open_error = kSentinel;
    UINT selected = 0xFFFFFFFFu;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    CallDriver(&b, "MiniportInitialize", PASSIVE_LEVEL, [&] {
        status = characteristics_.InitializeHandler(&open_error, &selected, media.empty() ? nullptr : media.data(),
                                                    static_cast<UINT>(media.size()), &b, &b.config_context);
    });
    if (status == NDIS_STATUS_SUCCESS) {
        b.selected_medium = selected;
        if (!b.attributes.set) {
            Violate(Rule::kBadCall, "MiniportInitialize succeeded without NdisMSetAttributesEx");
        }
        if (selected >= media.size()) {
            Violate(Rule::kBadCall, "MiniportInitialize succeeded with selected medium index " + std::to_string(selected));
        }
        b.state = Block::State::kRunning;
    } else {
        b.state = Block::State::kFailed;
        VerifyReleased(b, "a failed MiniportInitialize");
    }
    return status;
}

void Host::Halt(int adapter) {
    Block& b = B(adapter);
    if (b.state != Block::State::kRunning) throw std::logic_error("Halt of an adapter that is not running");
    NDIS_HANDLE ctx = b.attributes.context;
    CallDriver(&b, "MiniportHalt", PASSIVE_LEVEL, [&] { characteristics_.HaltHandler(ctx); });
    b.state = Block::State::kHalted;
    VerifyReleased(b, "MiniportHalt");
}

void Host::Shutdown(int adapter) {
    Block& b = B(adapter);
    if (!b.shutdown_registered || b.shutdown_handler == nullptr) return;
    ADAPTER_SHUTDOWN_HANDLER fn = b.shutdown_handler;
    PVOID ctx = b.shutdown_context;
    CallDriver(&b, "the shutdown handler", PASSIVE_LEVEL, [&] { fn(ctx); });
}

NDIS_STATUS Host::Reset(int adapter, bool* addressing_reset) {
    Block& b = B(adapter);
    if (b.state != Block::State::kRunning) throw std::logic_error("Reset of an adapter that is not running");
    BOOLEAN addressing = 0xCC;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE ctx = b.attributes.context;
    CallDriver(&b, "MiniportReset", DISPATCH_LEVEL, [&] { status = characteristics_.ResetHandler(&addressing, ctx); });
    if (addressing_reset != nullptr) *addressing_reset = addressing != 0xCC && addressing != 0;
    return status;
}

void Host::VerifyReleased(Block& b, const char* after) {
    for (const auto& [p, m] : memory_) {
        if (m.adapter == b.id) {
            Violate(Rule::kResourceLeak, std::to_string(m.size) + " bytes of memory (tag " + m.tag + ") still allocated after " + after);
        }
    }
    for (const auto& [timer, rec] : timers_) {
        if (rec->adapter == b.id && rec->armed) {
            Violate(Rule::kResourceLeak, "timer " + Ptr(timer) + " still armed after " + after);
        }
    }
    if (b.interrupt) {
        Violate(Rule::kResourceLeak, "interrupt on vector " + std::to_string(b.interrupt->info.vector) + " still registered after " + after);
        b.interrupt.reset();
    }
    for (auto& r : b.ports) {
        if (r.active) {
            Violate(Rule::kResourceLeak, "I/O port range " + Hex(r.initial) + "+" + std::to_string(r.count) + " still registered after " + after);
            r.active = false;
        }
    }
    if (!b.configs.empty()) {
        Violate(Rule::kResourceLeak, std::to_string(b.configs.size()) + " configuration handle(s) still open after " + after);
        b.configs.clear();
    }
    if (b.shutdown_registered) {
        Violate(Rule::kResourceLeak, std::string("shutdown handler still registered after ") + after);
        b.shutdown_registered = false;
    }
    for (const auto& [id, p] : packets_) {
        if (p->block == &b && p->with_driver && !p->state.completed && !p->transfer) {
            Violate(Rule::kPacketNeverCompleted, "packet " + std::to_string(id) + " never completed by " + after);
        }
    }
}

// --- time ---------------------------------------------------------------------------

void Host::RunFor(Micros us) {
    RunUntil([] { return false; }, us);
}

bool Host::RunUntil(const std::function<bool()>& done, Micros limit) {
    if (depth_ > 0) throw std::logic_error("RunUntil from inside a driver call");
    Micros target = Now() + limit;
    DispatchPoint();
    if (done()) return true;
    for (;;) {
        std::optional<Micros> device = scheduler_.NextTime();
        std::optional<Micros> timer = NextTimerDue();
        std::optional<Micros> next = device;
        if (timer && (!next || *timer < *next)) next = timer;
        if (!next || *next > target) break;
        if (device && *device == *next) {
            scheduler_.RunNextUntil(*next);
        } else {
            scheduler_.AdvanceTo(*next);
        }
        CheckInterrupts();
        DispatchPoint();
        if (done()) return true;
    }
    scheduler_.AdvanceTo(target);
    CheckInterrupts();
    DispatchPoint();
    return done();
}

void Host::ApiStall(ULONG us) {
    ++stall_calls_;
    stalled_us_ += us;
    Micros target = Now() + us;
    while (scheduler_.RunNextUntil(target)) CheckInterrupts();
    scheduler_.AdvanceTo(target);
    CheckInterrupts();
}

// --- configuration ------------------------------------------------------------------

void Host::ApiOpenConfiguration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context) {
    Log("NdisOpenConfiguration");
    Block* block = nullptr;
    for (auto& b : blocks_) {
        if (static_cast<void*>(&b->config_context) == context) block = b.get();
    }
    if (block == nullptr) {
        Violate(Rule::kBadCall, "NdisOpenConfiguration with a context that is not a WrapperConfigurationContext");
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    if (block->state != Block::State::kInitializing) {
        Violate(Rule::kBadCall, "NdisOpenConfiguration outside MiniportInitialize");
    }
    if (block->setup.open_configuration_fails) {
        *status = *block->setup.open_configuration_fails;
        return;
    }
    auto config = std::make_unique<Config>();
    config->block = block;
    *handle = config.get();
    block->configs.push_back(std::move(config));
    *status = NDIS_STATUS_SUCCESS;
}

namespace {
std::string KeywordText(PNDIS_STRING keyword) {
    std::string s;
    if (keyword == nullptr || keyword->Buffer == nullptr) return s;
    for (USHORT i = 0; i < keyword->Length / 2; ++i) s.push_back(static_cast<char>(keyword->Buffer[i] & 0xFF));
    return s;
}
}  // namespace

Host::Config* Host::ConfigFromHandle(NDIS_HANDLE handle, const char* call) {
    for (auto& b : blocks_) {
        for (auto& c : b->configs) {
            if (c.get() == handle) return c.get();
        }
    }
    Violate(Rule::kBadCall, std::string(call) + " with a handle that is not an open configuration handle");
    return nullptr;
}

void Host::ApiReadConfiguration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                                PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type) {
    Log("NdisReadConfiguration");
    Config* config = ConfigFromHandle(handle, "NdisReadConfiguration");
    if (config == nullptr) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    config->block->config_reads.push_back(KeywordText(keyword));
    Registry::Read r = config->block->setup.registry.Get(KeywordText(keyword), type);
    if (r.status != NDIS_STATUS_SUCCESS) {
        *status = r.status;
        *value = nullptr;
        return;
    }
    NDIS_CONFIGURATION_PARAMETER p{};
    p.ParameterType = type;
    if (type == NdisParameterString) {
        std::u16string storage;
        USHORT length;
        if (r.ansi_form) {
            // 8-bit text with its terminating NUL, counted in the length.
            std::string bytes = r.ansi;
            bytes.push_back('\0');
            storage.assign((bytes.size() + 1) / 2 + 1, u'\0');
            std::memcpy(storage.data(), bytes.data(), bytes.size());
            length = static_cast<USHORT>(bytes.size());
        } else {
            storage = r.text;
            length = static_cast<USHORT>(storage.size() * 2);
            storage.push_back(u'\0');
        }
        config->strings.push_back(std::move(storage));
        p.ParameterData.StringData.Length = length;
        p.ParameterData.StringData.MaximumLength = static_cast<USHORT>(config->strings.back().size() * 2);
        p.ParameterData.StringData.Buffer = config->strings.back().data();
    } else {
        p.ParameterData.IntegerData = r.integer;
    }
    config->parameters.push_back(p);
    *value = &config->parameters.back();
    *status = NDIS_STATUS_SUCCESS;
}

void Host::ApiReadNetworkAddress(PNDIS_STATUS status, PVOID* address, PUINT length, NDIS_HANDLE handle) {
    Log("NdisReadNetworkAddress");
    Config* config = ConfigFromHandle(handle, "NdisReadNetworkAddress");
    if (config == nullptr) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    config->block->config_reads.push_back("(network address)");
    auto addr = config->block->setup.registry.NetworkAddress();
    if (!addr) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    config->network_address = *addr;
    *address = config->network_address.data();
    *length = static_cast<UINT>(config->network_address.size());
    *status = NDIS_STATUS_SUCCESS;
}

void Host::ApiCloseConfiguration(NDIS_HANDLE handle) {
    Log("NdisCloseConfiguration");
    for (auto& b : blocks_) {
        for (auto it = b->configs.begin(); it != b->configs.end(); ++it) {
            if (it->get() == handle) {
                b->configs.erase(it);  // parameters handed out die with the handle
                return;
            }
        }
    }
    Violate(Rule::kBadCall, "NdisCloseConfiguration of a handle that is not open");
}

NDIS_STATUS Host::ApiUnicodeToAnsi(PANSI_STRING dst, PUNICODE_STRING src) {
    Log("NdisUnicodeStringToAnsiString");
    if (dst == nullptr || src == nullptr || dst->Buffer == nullptr) {
        Violate(Rule::kBadCall, "NdisUnicodeStringToAnsiString without a destination buffer");
        return NDIS_STATUS_FAILURE;
    }
    std::size_t chars = src->Buffer == nullptr ? 0 : src->Length / 2;
    if (dst->MaximumLength == 0) return kStatusBufferOverflow;
    std::size_t n = std::min<std::size_t>(chars, dst->MaximumLength - 1u);
    for (std::size_t i = 0; i < n; ++i) dst->Buffer[i] = static_cast<CHAR>(src->Buffer[i] & 0xFF);
    dst->Buffer[n] = '\0';
    dst->Length = static_cast<USHORT>(n);
    return n < chars ? kStatusBufferOverflow : NDIS_STATUS_SUCCESS;
}

// --- memory ---------------------------------------------------------------------------

NDIS_STATUS Host::ApiAllocateMemory(PVOID* va, UINT length, ULONG tag) {
    Log("NdisAllocateMemoryWithTag");
    if (!fail_allocations_.empty()) {
        NDIS_STATUS s = fail_allocations_.front();
        fail_allocations_.pop_front();
        *va = nullptr;
        return s;
    }
    void* p = std::malloc(length == 0 ? 1 : length);
    if (p == nullptr) {
        *va = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    // Fresh pool memory is not zeroed: fill it so that reliance on zeroes shows.
    std::memset(p, 0xCD, length);
    memory_[p] = MemoryBlock{length, TagText(tag), tls.block != nullptr ? tls.block->id : -1};
    *va = p;
    return NDIS_STATUS_SUCCESS;
}

void Host::ApiFreeMemory(PVOID va, UINT length, UINT flags) {
    (void)flags;
    Log("NdisFreeMemory");
    auto it = memory_.find(va);
    if (it == memory_.end()) {
        Violate(Rule::kBadMemoryFree, "NdisFreeMemory of " + Ptr(va) + ", which was not allocated");
        return;
    }
    std::size_t size = it->second.size;
    if (size != length) {
        Violate(Rule::kBadMemoryFree, "NdisFreeMemory of " + std::to_string(length) + " bytes for a block of " + std::to_string(size));
    }
    auto* begin = static_cast<std::uint8_t*>(va);
    auto* end = begin + size;
    auto inside = [&](const void* p) { return p >= static_cast<void*>(begin) && p < static_cast<void*>(end); };
    for (auto t = timers_.begin(); t != timers_.end();) {
        if (inside(t->first)) {
            if (t->second->armed) Violate(Rule::kTimerMisuse, "memory freed while the timer " + Ptr(t->first) + " in it is armed");
            t = timers_.erase(t);
        } else {
            ++t;
        }
    }
    for (auto l = held_locks_.begin(); l != held_locks_.end();) {
        if (inside(l->first)) {
            Violate(Rule::kSpinLockHeldOnReturn, "memory freed while the spin lock " + Ptr(l->first) + " in it is held");
            l = held_locks_.erase(l);
        } else {
            ++l;
        }
    }
    for (auto& b : blocks_) {
        if (b->interrupt && inside(b->interrupt->object)) {
            Violate(Rule::kInterruptMisuse, "memory freed while the interrupt object in it is registered");
        }
    }
    std::memset(va, 0xDD, size);
    std::free(va);
    memory_.erase(it);
}

// --- attributes, ports, interrupt, shutdown, error log -------------------------------

void Host::ApiSetAttributesEx(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang, ULONG flags, NDIS_INTERFACE_TYPE type) {
    Log("NdisMSetAttributesEx");
    Block* b = BlockFromHandle(handle, "NdisMSetAttributesEx");
    if (b == nullptr) return;
    if (b->state != Block::State::kInitializing) Violate(Rule::kBadCall, "NdisMSetAttributesEx outside MiniportInitialize");
    b->attributes = Attributes{true, context, hang, flags, type};
}

NDIS_STATUS Host::ApiRegisterIoPortRange(PVOID* offset, NDIS_HANDLE handle, UINT initial, UINT count) {
    Log("NdisMRegisterIoPortRange");
    Block* b = BlockFromHandle(handle, "NdisMRegisterIoPortRange");
    if (b == nullptr) return NDIS_STATUS_FAILURE;
    if (fail_port_registration_) {
        NDIS_STATUS s = *fail_port_registration_;
        fail_port_registration_.reset();
        return s;
    }
    for (auto& other : blocks_) {
        for (const auto& r : other->ports) {
            if (r.active && initial < r.initial + r.count && r.initial < initial + count) return NDIS_STATUS_RESOURCE_CONFLICT;
        }
    }
    ULONG mapped = initial + port_mapping_offset_;
    b->ports.push_back(Block::PortRange{initial, count, mapped, true});
    *offset = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(mapped));
    return NDIS_STATUS_SUCCESS;
}

void Host::ApiDeregisterIoPortRange(NDIS_HANDLE handle, UINT initial, UINT count, PVOID offset) {
    Log("NdisMDeregisterIoPortRange");
    Block* b = BlockFromHandle(handle, "NdisMDeregisterIoPortRange");
    if (b == nullptr) return;
    for (auto& r : b->ports) {
        if (r.active && r.initial == initial && r.count == count &&
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(r.mapped)) == offset) {
            r.active = false;
            return;
        }
    }
    Violate(Rule::kBadCall, "NdisMDeregisterIoPortRange of " + Hex(initial) + "+" + std::to_string(count) + " at " +
                                Ptr(offset) + ", which is not a registered range");
}

// The device window behind a mapped port address, or null with the reason.
Host::Device* Host::ResolvePort(ULONG address, ULONG* offset, bool* found, bool* deregistered) {
    *found = false;
    *deregistered = false;
    for (auto& b : blocks_) {
        for (const auto& r : b->ports) {
            if (address < r.mapped || address + 2 > r.mapped + r.count) continue;
            if (!r.active) {
                *deregistered = true;
                continue;
            }
            *found = true;
            return DeviceForPort(r.initial + (address - r.mapped), offset);
        }
    }
    return nullptr;
}

USHORT Host::ApiReadPort(PUSHORT port) {
    ULONG address = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(port));
    ULONG offset = 0;
    bool found, deregistered;
    Device* d = ResolvePort(address, &offset, &found, &deregistered);
    if (found) return d == nullptr ? 0xFFFF : d->device->ReadPort(offset);
    Violate(deregistered ? Rule::kPortAfterDeregistration : Rule::kPortOutsideRange,
            "READ_PORT_USHORT(" + Hex(address) + ")");
    return 0xFFFF;
}

void Host::ApiWritePort(PUSHORT port, USHORT value) {
    ULONG address = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(port));
    ULONG offset = 0;
    bool found, deregistered;
    Device* d = ResolvePort(address, &offset, &found, &deregistered);
    if (found) {
        if (d != nullptr) d->device->WritePort(offset, value);
        CheckInterrupts();
        return;
    }
    Violate(deregistered ? Rule::kPortAfterDeregistration : Rule::kPortOutsideRange,
            "WRITE_PORT_USHORT(" + Hex(address) + ", " + Hex(value) + ")");
}

NDIS_STATUS Host::ApiRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle, UINT vector, UINT level,
                                       BOOLEAN request_isr, BOOLEAN shared, NDIS_INTERRUPT_MODE mode) {
    Log("NdisMRegisterInterrupt");
    Block* b = BlockFromHandle(handle, "NdisMRegisterInterrupt");
    if (b == nullptr) return NDIS_STATUS_FAILURE;
    if (fail_interrupt_registration_) {
        NDIS_STATUS s = *fail_interrupt_registration_;
        fail_interrupt_registration_.reset();
        return s;
    }
    if (b->interrupt) {
        Violate(Rule::kInterruptMisuse, "NdisMRegisterInterrupt while an interrupt is already registered");
        return NDIS_STATUS_RESOURCE_CONFLICT;
    }
    if (request_isr && characteristics_.ISRHandler == nullptr) {
        Violate(Rule::kInterruptMisuse, "NdisMRegisterInterrupt asks for the ISR, but no ISR handler is registered");
    }
    b->interrupt = Block::Interrupt{interrupt, InterruptInfo{vector, level, request_isr != 0, shared != 0, mode}, false};
    return NDIS_STATUS_SUCCESS;
}

void Host::ApiDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT interrupt) {
    Log("NdisMDeregisterInterrupt");
    for (auto& b : blocks_) {
        if (b->interrupt && b->interrupt->object == interrupt) {
            b->interrupt.reset();  // a DPC not yet run is dropped with it
            return;
        }
    }
    Violate(Rule::kInterruptMisuse, "NdisMDeregisterInterrupt of an interrupt that was never registered");
}

void Host::ApiRegisterShutdownHandler(NDIS_HANDLE handle, PVOID context, ADAPTER_SHUTDOWN_HANDLER fn) {
    Log("NdisMRegisterAdapterShutdownHandler");
    Block* b = BlockFromHandle(handle, "NdisMRegisterAdapterShutdownHandler");
    if (b == nullptr) return;
    b->shutdown_registered = true;
    b->shutdown_handler = fn;
    b->shutdown_context = context;
}

void Host::ApiDeregisterShutdownHandler(NDIS_HANDLE handle) {
    Log("NdisMDeregisterAdapterShutdownHandler");
    Block* b = BlockFromHandle(handle, "NdisMDeregisterAdapterShutdownHandler");
    if (b == nullptr) return;
    if (!b->shutdown_registered) Violate(Rule::kBadCall, "shutdown handler deregistered but never registered");
    b->shutdown_registered = false;
}

void Host::ApiWriteErrorLogEntry(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values) {
    Log("NdisWriteErrorLogEntry");
    Block* b = BlockFromHandle(handle, "NdisWriteErrorLogEntry");
    if (b == nullptr) return;
    b->error_log.push_back(ErrorLogEntry{code, std::move(values)});
}

// --- timers -----------------------------------------------------------------------------

void Host::ApiInitializeTimer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn, PVOID context) {
    Log("NdisMInitializeTimer");
    Block* b = BlockFromHandle(handle, "NdisMInitializeTimer");
    if (b == nullptr) return;
    auto it = timers_.find(timer);
    if (it != timers_.end() && it->second->armed) {
        Violate(Rule::kTimerMisuse, "NdisMInitializeTimer of the armed timer " + Ptr(timer));
    }
    auto rec = std::make_unique<TimerRecord>();
    rec->adapter = b->id;
    rec->function = fn;
    rec->context = context;
    timers_[timer] = std::move(rec);
}

void Host::ApiSetTimer(PNDIS_MINIPORT_TIMER timer, UINT ms, bool periodic) {
    Log(periodic ? "NdisMSetPeriodicTimer" : "NdisMSetTimer");
    auto it = timers_.find(timer);
    if (it == timers_.end()) {
        Violate(Rule::kTimerMisuse, "timer " + Ptr(timer) + " set before NdisMInitializeTimer");
        return;
    }
    if (periodic && ms == 0) {
        Violate(Rule::kTimerMisuse, "periodic timer with a period of 0 ms");
        return;
    }
    TimerRecord& r = *it->second;
    r.armed = true;
    r.due = Now() + static_cast<Micros>(ms) * 1000;
    r.period = periodic ? static_cast<Micros>(ms) * 1000 : 0;
    r.sequence = ++timer_sequence_;
}

void Host::ApiCancelTimer(PNDIS_MINIPORT_TIMER timer, PBOOLEAN cancelled) {
    Log("NdisMCancelTimer");
    auto it = timers_.find(timer);
    if (it == timers_.end()) {
        Violate(Rule::kTimerMisuse, "NdisMCancelTimer of " + Ptr(timer) + ", which was never initialized");
        if (cancelled != nullptr) *cancelled = FALSE;
        return;
    }
    if (cancelled != nullptr) *cancelled = it->second->armed ? TRUE : FALSE;
    it->second->armed = false;
}

std::vector<TimerInfo> Host::Timers(int adapter) const {
    std::vector<TimerInfo> out;
    for (const auto& [timer, rec] : timers_) {
        if (rec->adapter == adapter) out.push_back(TimerInfo{timer, rec->armed, rec->due, rec->period, rec->fired});
    }
    return out;
}

std::size_t Host::ArmedTimers(int adapter) const {
    std::size_t n = 0;
    for (const auto& [timer, rec] : timers_) n += (rec->adapter == adapter && rec->armed) ? 1 : 0;
    return n;
}

// --- spin locks ------------------------------------------------------------------------

void Host::ApiAcquireSpinLock(PNDIS_SPIN_LOCK lock) {
    if (irql_ > DISPATCH_LEVEL) {
        Violate(Rule::kSpinLockAtDeviceLevel, "NdisAcquireSpinLock(" + Ptr(lock) + ") above DISPATCH_LEVEL");
    }
    if (held_locks_.count(lock) != 0) {
        Violate(Rule::kSpinLockRecursion,
                "NdisAcquireSpinLock(" + Ptr(lock) + ") while this processor holds it: a deadlock");
        return;
    }
    if (lock->SpinLock != 0) {
        Violate(Rule::kSpinLockUninitialized,
                "NdisAcquireSpinLock(" + Ptr(lock) + ") on storage that is neither zeroed nor a free lock");
    }
    held_locks_[lock] = irql_;
    lock->SpinLock = 1;
    lock->OldIrql = irql_;
    if (irql_ < DISPATCH_LEVEL) irql_ = DISPATCH_LEVEL;
}

void Host::ApiReleaseSpinLock(PNDIS_SPIN_LOCK lock) {
    auto it = held_locks_.find(lock);
    if (it == held_locks_.end()) {
        Violate(Rule::kSpinLockNotHeld, "NdisReleaseSpinLock(" + Ptr(lock) + ") of a lock that is not held");
        return;
    }
    irql_ = it->second;
    held_locks_.erase(it);
    lock->SpinLock = 0;
}

void Host::CheckLocksFree(const char* call) {
    if (held_locks_.empty()) return;
    Violate(Rule::kLockHeldAcrossCall, std::string(call) + " called with spin lock " +
                                           Ptr(held_locks_.begin()->first) + " held");
}

// --- packets -------------------------------------------------------------------------

Host::HostPacket* Host::FindPacket(PNDIS_PACKET packet) {
    auto it = packets_by_address_.find(packet);
    return it == packets_by_address_.end() ? nullptr : it->second;
}

Host::HostPacket& Host::NewPacket(Block& block, const Bytes& frame, const std::vector<UINT>& chunks) {
    auto p = std::make_unique<HostPacket>();
    p->id = next_packet_id_++;
    p->block = &block;
    std::vector<UINT> sizes = chunks;
    if (sizes.empty() && !frame.empty()) sizes.push_back(static_cast<UINT>(frame.size()));
    std::size_t total = 0;
    for (UINT s : sizes) total += s;
    if (total != frame.size()) throw std::invalid_argument("buffer sizes do not add up to the frame length");
    p->buffers.resize(sizes.size());
    std::size_t pos = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        // Each buffer is its own allocation, so reading past one is caught.
        p->storage.emplace_back(new std::uint8_t[sizes[i] == 0 ? 1 : sizes[i]]);
        if (sizes[i] != 0) std::memcpy(p->storage.back().get(), frame.data() + pos, sizes[i]);
        pos += sizes[i];
        p->buffers[i].VirtualAddress = p->storage.back().get();
        p->buffers[i].ByteCount = sizes[i];
        p->buffers[i].Next = i + 1 < sizes.size() ? &p->buffers[i + 1] : nullptr;
    }
    p->packet.Private.Head = p->buffers.empty() ? nullptr : &p->buffers.front();
    p->packet.Private.Tail = p->buffers.empty() ? nullptr : &p->buffers.back();
    p->packet.Private.Count = static_cast<UINT>(p->buffers.size());
    p->packet.Private.TotalLength = static_cast<UINT>(frame.size());
    p->packet.Private.Status = kSentinel;
    std::memset(p->packet.MiniportReserved, 0xCB, sizeof p->packet.MiniportReserved);
    HostPacket& ref = *p;
    packets_by_address_[&ref.packet] = &ref;
    packet_states_[ref.id] = PacketState{};
    packets_[ref.id] = std::move(p);
    return ref;
}

void Host::SendPackets(Block& block, const std::vector<HostPacket*>& packets) {
    if (block.state != Block::State::kRunning) throw std::logic_error("Send on an adapter that is not running");
    std::vector<PNDIS_PACKET> array;
    for (HostPacket* p : packets) {
        p->with_driver = true;
        array.push_back(&p->packet);
    }
    NDIS_HANDLE ctx = block.attributes.context;
    if (characteristics_.SendPacketsHandler != nullptr) {
        CallDriver(&block, "MiniportSendPackets", DISPATCH_LEVEL, [&] {
            characteristics_.SendPacketsHandler(ctx, array.data(), static_cast<UINT>(array.size()));
        });
    } else {
        for (PNDIS_PACKET packet : array) {
            NDIS_STATUS s = NDIS_STATUS_FAILURE;
            CallDriver(&block, "MiniportSend", DISPATCH_LEVEL, [&] { s = characteristics_.SendHandler(ctx, packet, 0); });
            if (s != NDIS_STATUS_PENDING) {
                HostPacket* hp = FindPacket(packet);
                if (hp != nullptr && !hp->state.completed) {
                    hp->state.completed = true;
                    hp->state.status = s;
                    hp->state.completions = 1;
                    packet_states_[hp->id] = hp->state;
                }
            }
        }
    }
}

std::vector<PacketId> Host::Send(int adapter, const std::vector<Bytes>& frames,
                                 const std::vector<std::vector<UINT>>& chunks) {
    Block& b = B(adapter);
    std::vector<HostPacket*> packets;
    std::vector<PacketId> ids;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        HostPacket& p = NewPacket(b, frames[i], i < chunks.size() ? chunks[i] : std::vector<UINT>{});
        packets.push_back(&p);
        ids.push_back(p.id);
    }
    SendPackets(b, packets);
    return ids;
}

PacketId Host::SendEmptyPacket(int adapter) {
    Block& b = B(adapter);
    HostPacket& p = NewPacket(b, Bytes{}, {});
    PacketId id = p.id;
    SendPackets(b, {&p});
    return id;
}

const PacketState& Host::Packet(PacketId id) const {
    auto it = packet_states_.find(id);
    if (it == packet_states_.end()) throw std::out_of_range("no packet " + std::to_string(id));
    return it->second;
}

NDIS_STATUS Host::PacketStatusField(PacketId id) const {
    auto it = packets_.find(id);
    if (it == packets_.end()) throw std::out_of_range("packet " + std::to_string(id) + " no longer retained");
    return it->second->packet.Private.Status;
}

std::size_t Host::OutstandingPackets(int adapter) const {
    std::size_t n = 0;
    for (const auto& [id, p] : packets_) {
        n += (p->block->id == adapter && p->with_driver && !p->state.completed && !p->transfer) ? 1 : 0;
    }
    return n;
}

void Host::RetirePacket(HostPacket& packet) {
    retired_packets_.push_back(packet.id);
    while (retired_packets_.size() > kRetainedPackets) {
        PacketId old = retired_packets_.front();
        retired_packets_.pop_front();
        auto it = packets_.find(old);
        if (it == packets_.end()) continue;
        packets_by_address_.erase(&it->second->packet);
        packets_.erase(it);
    }
}

void Host::ApiSendComplete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
    Log("NdisMSendComplete");
    CheckLocksFree("NdisMSendComplete");
    Block* b = BlockFromHandle(handle, "NdisMSendComplete");
    HostPacket* hp = FindPacket(packet);
    if (hp == nullptr || hp->transfer) {
        Violate(Rule::kPacketUnknown, "NdisMSendComplete of " + Ptr(packet) + ", a packet the host did not send");
        return;
    }
    if (hp->state.completed) {
        Violate(Rule::kPacketCompletedTwice, "packet " + std::to_string(hp->id) + " completed again with status " + Hex(status));
        ++hp->state.completions;
        packet_states_[hp->id] = hp->state;
        return;
    }
    if (b != nullptr && hp->block != b) {
        Violate(Rule::kBadCall, "packet " + std::to_string(hp->id) + " completed on another adapter's handle");
    }
    // A packet is still queued in the driver when another packet it still
    // holds links to it through the MiniportReserved area.
    for (const auto& [id, other] : packets_) {
        if (other.get() == hp || !other->with_driver || other->state.completed || other->transfer) continue;
        PNDIS_PACKET link = nullptr;
        std::memcpy(&link, other->packet.MiniportReserved, sizeof link);
        if (link == packet) {
            Violate(Rule::kPacketCompletedWhileQueued, "packet " + std::to_string(hp->id) +
                                                           " completed while packet " + std::to_string(id) +
                                                           " still links to it");
        }
    }
    hp->state.completed = true;
    hp->state.status = status;
    hp->state.completions = 1;
    hp->state.completed_at = Now();
    packet_states_[hp->id] = hp->state;
    PacketId id = hp->id;
    Block* owner = hp->block;
    RetirePacket(*hp);
    if (owner->on_send_complete) owner->on_send_complete(id, status);
}

void Host::ApiGetFirstBuffer(PNDIS_PACKET packet, PNDIS_BUFFER* first, PVOID* va, PUINT length, PUINT total) {
    HostPacket* hp = FindPacket(packet);
    if (hp == nullptr) {
        Violate(Rule::kPacketUnknown, "NdisGetFirstBufferFromPacket on " + Ptr(packet));
    } else if (hp->state.completed) {
        Violate(Rule::kPacketUsedAfterCompletion, "NdisGetFirstBufferFromPacket on completed packet " + std::to_string(hp->id));
    }
    PNDIS_BUFFER b = packet->Private.Head;
    *first = b;
    if (va != nullptr) *va = b != nullptr ? b->VirtualAddress : nullptr;
    if (length != nullptr) *length = b != nullptr ? b->ByteCount : 0;
    if (total != nullptr) *total = packet->Private.TotalLength;
}

void Host::ApiQueryBuffer(PNDIS_BUFFER buffer, PVOID* va, PUINT length) {
    for (const auto& [id, p] : packets_) {
        if (p->buffers.empty()) continue;
        if (buffer >= &p->buffers.front() && buffer <= &p->buffers.back()) {
            if (p->state.completed) {
                Violate(Rule::kPacketUsedAfterCompletion, "NdisQueryBuffer on a buffer of completed packet " + std::to_string(id));
            }
            break;
        }
    }
    if (va != nullptr) *va = buffer->VirtualAddress;
    if (length != nullptr) *length = buffer->ByteCount;
}

void Host::ApiGetNextBuffer(PNDIS_BUFFER buffer, PNDIS_BUFFER* next) { *next = buffer->Next; }

void Host::ApiSetPacketStatus(PNDIS_PACKET packet, NDIS_STATUS status) {
    HostPacket* hp = FindPacket(packet);
    if (hp == nullptr) {
        Violate(Rule::kPacketUnknown, "NDIS_SET_PACKET_STATUS on " + Ptr(packet));
        return;
    }
    if (hp->state.completed) {
        Violate(Rule::kPacketUsedAfterCompletion, "NDIS_SET_PACKET_STATUS on completed packet " + std::to_string(hp->id));
    }
    packet->Private.Status = status;
}

// --- indications ---------------------------------------------------------------------

void Host::SetReceiveHandler(int adapter, ReceiveHandler handler) { B(adapter).on_receive = std::move(handler); }
void Host::SetStatusHandler(int adapter, StatusHandler handler) { B(adapter).on_status = std::move(handler); }
void Host::SetSendCompleteHandler(int adapter, SendCompleteHandler handler) {
    B(adapter).on_send_complete = std::move(handler);
}
const std::vector<Indication>& Host::Indications(int adapter) const { return B(adapter).indications; }
void Host::ClearIndications(int adapter) { B(adapter).indications.clear(); }

std::vector<Bytes> Host::ReceivedFrames(int adapter) const {
    std::vector<Bytes> out;
    for (const Indication& i : B(adapter).indications) {
        if (i.kind != Indication::Kind::kReceive) continue;
        Bytes f = i.header;
        f.insert(f.end(), i.lookahead.begin(), i.lookahead.end());
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<NDIS_STATUS> Host::StatusIndications(int adapter) const {
    std::vector<NDIS_STATUS> out;
    for (const Indication& i : B(adapter).indications) {
        if (i.kind == Indication::Kind::kStatus) out.push_back(i.status);
    }
    return out;
}

void Host::ApiIndicateReceive(NDIS_HANDLE handle, NDIS_HANDLE context, PVOID header, UINT header_size, PVOID lookahead,
                              UINT lookahead_size, UINT packet_size) {
    Log("NdisMEthIndicateReceive");
    CheckLocksFree("NdisMEthIndicateReceive");
    Block* b = BlockFromHandle(handle, "NdisMEthIndicateReceive");
    if (b == nullptr) return;
    if (header_size != 14) Violate(Rule::kBadCall, "Ethernet receive indicated with a header of " + std::to_string(header_size) + " bytes");
    if (lookahead_size > packet_size) {
        Violate(Rule::kBadCall, "receive lookahead of " + std::to_string(lookahead_size) + " bytes exceeds the packet size " +
                                    std::to_string(packet_size));
    }
    Indication ind = MakeIndication(Indication::Kind::kReceive, Now());
    const auto* h = static_cast<const std::uint8_t*>(header);
    const auto* l = static_cast<const std::uint8_t*>(lookahead);
    ind.header.assign(h, h + header_size);
    ind.lookahead.assign(l, l + lookahead_size);
    ind.packet_size = packet_size;
    b->indications.push_back(ind);
    if (b->on_receive) {
        Indication copy = b->indications.back();
        ReceiveContext rc(*this, b->id, context, copy);
        b->on_receive(rc);
    }
}

void Host::ApiIndicateReceiveComplete(NDIS_HANDLE handle) {
    Log("NdisMEthIndicateReceiveComplete");
    CheckLocksFree("NdisMEthIndicateReceiveComplete");
    Block* b = BlockFromHandle(handle, "NdisMEthIndicateReceiveComplete");
    if (b == nullptr) return;
    b->indications.push_back(MakeIndication(Indication::Kind::kReceiveComplete, Now()));
}

void Host::ApiIndicateStatus(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size) {
    Log("NdisMIndicateStatus");
    CheckLocksFree("NdisMIndicateStatus");
    Block* b = BlockFromHandle(handle, "NdisMIndicateStatus");
    if (b == nullptr) return;
    Indication ind = MakeIndication(Indication::Kind::kStatus, Now());
    ind.status = status;
    if (buffer != nullptr && size != 0) {
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        ind.status_buffer.assign(p, p + size);
    }
    b->indications.push_back(ind);
    if (b->on_status) b->on_status(status);
}

void Host::ApiIndicateStatusComplete(NDIS_HANDLE handle) {
    Log("NdisMIndicateStatusComplete");
    CheckLocksFree("NdisMIndicateStatusComplete");
    Block* b = BlockFromHandle(handle, "NdisMIndicateStatusComplete");
    if (b == nullptr) return;
    b->indications.push_back(MakeIndication(Indication::Kind::kStatusComplete, Now()));
}

TransferResult Host::DoTransfer(Block& b, NDIS_HANDLE receive_context, UINT offset, UINT count, std::vector<UINT> chunks) {
    if (chunks.empty()) chunks.push_back(count);
    std::size_t total = 0;
    for (UINT c : chunks) total += c;
    HostPacket& p = NewPacket(b, Bytes(total, 0xEE), chunks);
    p.transfer = true;
    p.with_driver = true;
    UINT transferred = 0xA5A5A5A5u;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE ctx = b.attributes.context;
    CallDriver(&b, "MiniportTransferData", DISPATCH_LEVEL, [&] {
        status = characteristics_.TransferDataHandler(&p.packet, &transferred, ctx, receive_context, offset, count);
    });
    p.with_driver = false;
    TransferResult r;
    r.status = status;
    r.bytes_transferred = transferred;
    Bytes all;
    for (std::size_t i = 0; i < p.buffers.size(); ++i) {
        const auto* s = p.storage[i].get();
        all.insert(all.end(), s, s + p.buffers[i].ByteCount);
    }
    if (transferred <= all.size()) all.resize(transferred);
    r.data = std::move(all);
    packets_by_address_.erase(&p.packet);
    packets_.erase(p.id);
    return r;
}

TransferResult Host::TransferData(int adapter, NDIS_HANDLE receive_context, UINT offset, UINT count, std::vector<UINT> chunks) {
    return DoTransfer(B(adapter), receive_context, offset, count, std::move(chunks));
}

TransferResult ReceiveContext::TransferData(UINT offset, UINT count, std::vector<UINT> chunks) {
    return host_.DoTransfer(host_.B(adapter_), receive_context_, offset, count, std::move(chunks));
}

std::vector<PacketId> ReceiveContext::Send(const std::vector<Bytes>& frames) { return host_.Send(adapter_, frames); }

// --- requests ---------------------------------------------------------------------------

QueryResult Host::Query(int adapter, NDIS_OID oid, ULONG buffer_length) {
    Block& b = B(adapter);
    if (b.state != Block::State::kRunning) throw std::logic_error("Query on an adapter that is not running");
    // An exact-size heap block: a driver writing past it is caught.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[buffer_length == 0 ? 1 : buffer_length]);
    std::memset(buffer.get(), 0xEE, buffer_length);
    ULONG written = kSentinel;
    ULONG needed = kSentinel;
    QueryResult r;
    NDIS_HANDLE ctx = b.attributes.context;
    CallDriver(&b, "MiniportQueryInformation", DISPATCH_LEVEL, [&] {
        r.status = characteristics_.QueryInformationHandler(ctx, oid, buffer.get(), buffer_length, &written, &needed);
    });
    if (written != kSentinel) r.bytes_written = written;
    if (needed != kSentinel) r.bytes_needed = needed;
    r.data.assign(buffer.get(), buffer.get() + buffer_length);
    return r;
}

SetResult Host::Set(int adapter, NDIS_OID oid, const Bytes& data) {
    Block& b = B(adapter);
    if (b.state != Block::State::kRunning) throw std::logic_error("Set on an adapter that is not running");
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[data.empty() ? 1 : data.size()]);
    if (!data.empty()) std::memcpy(buffer.get(), data.data(), data.size());
    ULONG read = kSentinel;
    ULONG needed = kSentinel;
    SetResult r;
    NDIS_HANDLE ctx = b.attributes.context;
    CallDriver(&b, "MiniportSetInformation", DISPATCH_LEVEL, [&] {
        r.status = characteristics_.SetInformationHandler(ctx, oid, buffer.get(), static_cast<ULONG>(data.size()), &read, &needed);
    });
    if (read != kSentinel) r.bytes_read = read;
    if (needed != kSentinel) r.bytes_needed = needed;
    return r;
}

// --- accounting -------------------------------------------------------------------------

const std::vector<ErrorLogEntry>& Host::ErrorLog(int adapter) const { return B(adapter).error_log; }

std::vector<MemoryBlock> Host::Memory(int adapter) const {
    std::vector<MemoryBlock> out;
    for (const auto& [p, m] : memory_) {
        if (m.adapter == adapter) out.push_back(m);
    }
    return out;
}

std::size_t Host::MemoryInUse(int adapter) const {
    std::size_t n = 0;
    for (const auto& [p, m] : memory_) n += m.adapter == adapter ? m.size : 0;
    return n;
}

bool Host::InterruptRegistered(int adapter) const { return B(adapter).interrupt.has_value(); }

std::optional<Host::InterruptInfo> Host::Interrupt(int adapter) const {
    const Block& b = B(adapter);
    if (!b.interrupt) return std::nullopt;
    return b.interrupt->info;
}

std::vector<Host::PortRangeInfo> Host::PortRanges(int adapter) const {
    std::vector<PortRangeInfo> out;
    for (const auto& r : B(adapter).ports) {
        if (r.active) out.push_back(PortRangeInfo{r.initial, r.count, r.mapped});
    }
    return out;
}

bool Host::ShutdownHandlerRegistered(int adapter) const { return B(adapter).shutdown_registered; }
int Host::OpenConfigurationHandles(int adapter) const { return static_cast<int>(B(adapter).configs.size()); }
const Host::Attributes& Host::AttributesOf(int adapter) const { return B(adapter).attributes; }
const std::vector<IsrCall>& Host::IsrCalls(int adapter) const { return B(adapter).isr_calls; }
std::uint64_t Host::DpcCount(int adapter) const { return B(adapter).dpcs; }

}  // namespace host
