#include "card/controller.h"

#include <algorithm>
#include <cstdio>

namespace card {

namespace {

std::string Hex(std::uint32_t v, int width = 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

constexpr std::uint32_t kMemoryBlockAddress = 0x390000;
constexpr unsigned kMemoryBlockWords = 512;

}  // namespace

const char* RegisterName(std::uint16_t offset) {
    switch (offset) {
        case reg::kCommand: return "COMMAND";
        case reg::kParam0: return "PARAM0";
        case reg::kParam1: return "PARAM1";
        case reg::kParam2: return "PARAM2";
        case reg::kStatus: return "STATUS";
        case reg::kResp0: return "RESP0";
        case reg::kResp1: return "RESP1";
        case reg::kResp2: return "RESP2";
        case reg::kInfoFid: return "INFO_FID";
        case reg::kControl: return "CONTROL";
        case reg::kSelect0: return "SELECT0";
        case reg::kSelect1: return "SELECT1";
        case reg::kOffset0: return "OFFSET0";
        case reg::kOffset1: return "OFFSET1";
        case reg::kRxFid: return "RX_FID";
        case reg::kAllocFid: return "ALLOC_FID";
        case reg::kTxComplFid: return "TX_COMPL_FID";
        case reg::kSwSupport0: return "SW_SUPPORT0";
        case reg::kSwSupport1: return "SW_SUPPORT1";
        case reg::kSwSupport2: return "SW_SUPPORT2";
        case reg::kEventStatus: return "EVENT_STATUS";
        case reg::kIntEnable: return "INT_ENABLE";
        case reg::kEventAck: return "EVENT_ACK";
        case reg::kData0: return "DATA0";
        case reg::kData1: return "DATA1";
        case reg::kAuxPage: return "AUX_PAGE";
        case reg::kAuxOffset: return "AUX_OFFSET";
        case reg::kAuxData: return "AUX_DATA";
        default: return "(unused)";
    }
}

Controller::Controller(sim::Scheduler& scheduler, ControllerConfig config)
    : scheduler_(scheduler), config_(std::move(config)) {
    ResetFirmware();
    // The firmware's memory block and its identification text.
    for (unsigned i = 0; i < kMemoryBlockWords; ++i) {
        aux_memory_[kMemoryBlockAddress + 2 * i] =
            static_cast<std::uint16_t>(0x3900 ^ (i * 0x9E37u) ^ (i >> 3));
    }
    const char* ident = "MIREL MAC FW 1.4.8";
    for (unsigned i = 0; ident[2 * i] != 0; ++i) {
        std::uint16_t lo = static_cast<std::uint8_t>(ident[2 * i]);
        std::uint16_t hi = static_cast<std::uint8_t>(ident[2 * i + 1]);
        aux_memory_[kMemoryBlockAddress + 2 * i] = static_cast<std::uint16_t>(lo | hi << 8);
        if (ident[2 * i + 1] == 0) break;
    }
}

Controller::~Controller() {
    for (auto& [token, event] : live_events_) scheduler_.Cancel(event.id);
    if (air_ != nullptr) air_->Detach(radio_id_);
}

// --- scheduling ----------------------------------------------------------------

void Controller::Schedule(Micros delay, bool firmware, std::function<void()> fn) {
    std::uint64_t token = next_token_++;
    auto id = scheduler_.After(delay, [this, token, fn = std::move(fn)]() {
        live_events_.erase(token);
        fn();
    });
    live_events_[token] = LiveEvent{id, firmware};
}

void Controller::CancelFirmwareEvents() {
    for (auto it = live_events_.begin(); it != live_events_.end();) {
        if (it->second.firmware) {
            scheduler_.Cancel(it->second.id);
            it = live_events_.erase(it);
        } else {
            ++it;
        }
    }
}

// --- the register window ---------------------------------------------------------

void Controller::Trace(bool write, std::uint16_t offset, std::uint16_t value) {
    trace_.push_back(PortAccess{scheduler_.Now(), write, offset, value});
    if (trace_.size() > trace_limit_) {
        trace_.pop_front();
        ++trace_dropped_;
    }
}

void Controller::ProtocolError(std::string what) {
    protocol_errors_.push_back("t=" + std::to_string(scheduler_.Now()) + "us: " + what);
}

std::uint16_t Controller::ReadPort(std::uint32_t offset) {
    std::uint16_t value;
    if (removed_) {
        value = 0xFFFF;
    } else if (offset >= kWindowPorts || (offset & 1) != 0) {
        ProtocolError("16-bit read at odd or out-of-window offset " + Hex(offset));
        value = 0xFFFF;
    } else {
        value = ReadRegister(static_cast<std::uint16_t>(offset));
    }
    Trace(false, static_cast<std::uint16_t>(offset), value);
    return value;
}

void Controller::WritePort(std::uint32_t offset, std::uint16_t value) {
    Trace(true, static_cast<std::uint16_t>(offset), value);
    if (removed_) return;
    if (offset >= kWindowPorts || (offset & 1) != 0) {
        ProtocolError("16-bit write at odd or out-of-window offset " + Hex(offset));
        return;
    }
    WriteRegister(static_cast<std::uint16_t>(offset), value);
}

bool Controller::InterruptAsserted() const {
    if (removed_) return spurious_pending_;
    return (event_status_ & int_enable_) != 0;
}

bool Controller::CommandBusy() const {
    return faults_.command_busy_forever || scheduler_.Now() < command_busy_until_;
}

std::uint16_t Controller::ReadRegister(std::uint16_t offset) {
    switch (offset) {
        case reg::kCommand:
            return static_cast<std::uint16_t>((CommandBusy() ? kBusy : 0) | (last_command_ & 0x7FFF));
        case reg::kParam0: return params_[0];
        case reg::kParam1: return params_[1];
        case reg::kParam2: return params_[2];
        case reg::kStatus: return status_;
        case reg::kResp0: return resp0_;
        case reg::kInfoFid: return info_q_.current;
        case reg::kControl: return static_cast<std::uint16_t>(aux_state_ | (control_ & 0x3FFF));
        case reg::kSelect0: return paths_[0].select;
        case reg::kSelect1: return paths_[1].select;
        case reg::kOffset0:
        case reg::kOffset1: {
            const Path& p = paths_[offset == reg::kOffset0 ? 0 : 1];
            std::uint16_t v = p.offset & 0x0FFF;
            if (PathBusy(offset == reg::kOffset0 ? 0 : 1)) v |= kBusy;
            if (p.error) v |= kPathError;
            return v;
        }
        case reg::kRxFid: return rx_q_.current;
        case reg::kAllocFid: return alloc_q_.current;
        case reg::kTxComplFid: return tx_q_.current;
        case reg::kSwSupport0: return sw_support_[0];
        case reg::kSwSupport1: return sw_support_[1];
        case reg::kSwSupport2: return sw_support_[2];
        case reg::kEventStatus: return event_status_;
        case reg::kIntEnable: return int_enable_;
        case reg::kData0: return ReadData(0);
        case reg::kData1: return ReadData(1);
        case reg::kAuxPage: return static_cast<std::uint16_t>(aux_address_ >> 7);
        case reg::kAuxOffset: return static_cast<std::uint16_t>(aux_address_ & 0x7F);
        case reg::kAuxData: return ReadAuxWord();
        default: return 0;
    }
}

void Controller::WriteRegister(std::uint16_t offset, std::uint16_t value) {
    switch (offset) {
        case reg::kCommand:
            if (faults_.command_busy_forever || CommandBusy()) {
                ProtocolError("command " + Hex(value) + " written while REG_COMMAND is busy");
                return;
            }
            if (command_running_) {
                ProtocolError("command " + Hex(value) + " written while command " +
                              Hex(last_command_) + " is still running");
                return;
            }
            StartCommand(value);
            return;
        case reg::kParam0:
        case reg::kParam1:
        case reg::kParam2:
            if (CommandBusy()) ProtocolError(std::string(RegisterName(offset)) + " written while REG_COMMAND is busy");
            params_[(offset - reg::kParam0) / 2] = value;
            return;
        case reg::kControl: WriteControl(value); return;
        case reg::kSelect0:
        case reg::kSelect1: {
            Path& p = paths_[offset == reg::kSelect0 ? 0 : 1];
            p.select = value;
            p.active = false;
            return;
        }
        case reg::kOffset0: WriteOffset(0, value); return;
        case reg::kOffset1: WriteOffset(1, value); return;
        case reg::kSwSupport0: sw_support_[0] = value; return;
        case reg::kSwSupport1: sw_support_[1] = value; return;
        case reg::kSwSupport2: sw_support_[2] = value; return;
        case reg::kIntEnable: int_enable_ = value; return;
        case reg::kEventAck: Acknowledge(value); return;
        case reg::kData0: WriteData(0, value); return;
        case reg::kData1: WriteData(1, value); return;
        case reg::kAuxPage:
            aux_address_ = (static_cast<std::uint32_t>(value) << 7) | (aux_address_ & 0x7F);
            return;
        case reg::kAuxOffset:
            aux_address_ = (aux_address_ & ~0x7Fu) | (value & 0x7Fu);
            return;
        case reg::kAuxData: WriteAuxWord(value); return;
        default:
            ProtocolError(std::string("write of ") + Hex(value) + " to read-only register " +
                          RegisterName(offset) + " (" + Hex(offset, 2) + ")");
            return;
    }
}

// --- commands --------------------------------------------------------------------

Micros Controller::CommandTime(std::uint16_t code) const {
    const Timing& t = config_.timing;
    switch (code & 0x00FF) {
        case cmd::kInit: return t.command_init;
        case cmd::kEnable: return t.command_enable;
        case cmd::kDisable: return t.command_disable;
        case cmd::kProgram: return t.command_program;
        default: return t.command_default;
    }
}

void Controller::StartCommand(std::uint16_t code) {
    last_command_ = code;
    command_busy_until_ = scheduler_.Now() + config_.timing.command_busy;
    command_running_ = true;
    commands_.push_back(CommandRecord{scheduler_.Now(), code, params_[0], params_[1], params_[2], 0xFFFF});
    std::size_t index = commands_.size() - 1;
    Micros done = std::max(CommandTime(code), config_.timing.command_busy);
    // Command completions belong to the command protocol, not to the firmware
    // state that CMD_INIT throws away.
    Schedule(done, false, [this, index]() { CompleteCommand(index); });
}

void Controller::CompleteCommand(std::size_t index) {
    CommandRecord& c = commands_[index];
    std::uint16_t result;
    auto forced = faults_.command_result.find(c.code);
    if (forced != faults_.command_result.end()) {
        result = forced->second;
    } else {
        result = Execute(c.code, c.param0, c.param1, c.param2);
    }
    commands_[index].result = result;
    command_running_ = false;
    status_ = static_cast<std::uint16_t>(((result & 0x7F) << 8) | (c.code & 0x00FF));
    if (faults_.no_cmd_event || faults_.no_cmd_event_for.count(c.code) != 0) return;
    event_status_ |= ev::kCmd;
}

std::uint16_t Controller::Execute(std::uint16_t code, std::uint16_t p0, std::uint16_t p1,
                                  std::uint16_t p2) {
    switch (code & 0x00FF) {
        case cmd::kInit:
            ResetFirmware();
            return result::kOk;
        case cmd::kEnable:
            port_enabled_ = true;
            OnPortEnabled(true);
            return result::kOk;
        case cmd::kDisable:
            port_enabled_ = false;
            OnPortEnabled(false);
            return result::kOk;
        case cmd::kDiagnose:
            return result::kOk;
        case cmd::kAllocate: {
            if (p0 == 0 || p0 > 2400) return result::kBadParameter;
            if (AllocatedTxBuffers() >= config_.tx_buffer_limit) return result::kNoMemory;
            std::uint16_t fid = AllocateFrame(std::vector<std::uint8_t>(p0, 0), true);
            if (!faults_.no_alloc_event) {
                Schedule(config_.timing.alloc_event, true, [this, fid]() { QueueAllocEvent(fid); });
            }
            return result::kOk;
        }
        case cmd::kTransmit: {
            auto it = frames_.find(p0);
            if (it == frames_.end() || !it->second.tx_buffer) return result::kBadParameter;
            return OnTransmit(p0, (code & 0x0100) != 0);
        }
        case cmd::kInquire:
            if (p0 == info::kTallies) {
                std::vector<std::uint16_t> words = {43, info::kTallies};
                for (std::uint32_t t : tallies_) {
                    words.push_back(static_cast<std::uint16_t>(t & 0xFFFF));
                    words.push_back(static_cast<std::uint16_t>(t >> 16));
                }
                QueueInfoFrame(words);
                return result::kOk;
            }
            return OnInquire(p0);
        case cmd::kAccess: {
            std::uint16_t rid = p0;
            auto forced = faults_.record_result.find(rid);
            if (forced != faults_.record_result.end()) return forced->second;
            if ((code & 0x0100) == 0) {
                OnRecordAccess(rid);
                auto rec = records_.find(rid);
                if (rec == records_.end()) return result::kNoSuchRecord;
                access_images_[rid] = rec->second;
                return result::kOk;
            }
            auto staged = write_staging_.find(rid);
            if (staged == write_staging_.end()) {
                ProtocolError("CMD_ACCESS_WRITE of " + Hex(rid) + " without record data on a path");
                return result::kBadState;
            }
            std::vector<std::uint16_t> words = std::move(staged->second);
            write_staging_.erase(staged);
            if (records_.find(rid) == records_.end()) return result::kNoSuchRecord;
            if (rid >= 0xFD00) return result::kReadOnly;
            if (words.size() < 2 || words[1] != rid || words.size() != static_cast<std::size_t>(words[0]) + 1) {
                ProtocolError("record " + Hex(rid) + " written with " + std::to_string(words.size()) +
                              " words but length word " + (words.empty() ? std::string("-") : Hex(words[0])));
            }
            records_[rid] = words;
            ++record_writes_[rid];
            return OnRecordWritten(rid);
        }
        case cmd::kProgram:
            return ExecuteProgram(static_cast<std::uint16_t>(code & 0x0300), p0, p1, p2);
        case cmd::kReadIndirect:
            if ((p0 & 1) != 0 || p0 > 126) return result::kBadParameter;
            resp0_ = indirect_[p0 / 2];
            return result::kOk;
        case cmd::kWriteIndirect:
            if ((p0 & 1) != 0 || p0 > 126 || p1 > 0xFF) return result::kBadParameter;
            indirect_[p0 / 2] = static_cast<std::uint8_t>(p1);
            return result::kOk;
        case cmd::kMonitor: {
            std::uint16_t sub = static_cast<std::uint16_t>(code >> 8);
            if (sub == 0x0B) {
                monitor_mode_ = true;
            } else if (sub == 0x0F) {
                monitor_mode_ = false;
            } else {
                return result::kBadParameter;
            }
            OnMonitorMode(monitor_mode_);
            return result::kOk;
        }
        default:
            return result::kUnknownCommand;
    }
}

std::uint16_t Controller::ExecuteProgram(std::uint16_t mode, std::uint16_t p0, std::uint16_t p1,
                                         std::uint16_t p2) {
    if (!AuxPortOpen()) return result::kBadState;
    std::uint32_t address = static_cast<std::uint32_t>(p1) << 16 | p0;
    switch (mode) {
        case 0x0000:
            if (program_armed_) return result::kBadState;
            ++committed_images_;
            return result::kOk;
        case 0x0100:
            program_address_ = address;
            return result::kOk;
        case 0x0200:
            if (p2 == 0 || (p2 & 1) != 0 || p2 > config_.download_buffer_length) return result::kBadParameter;
            program_address_ = address;
            program_length_ = p2;
            program_armed_ = true;
            return result::kOk;
        case 0x0300: {
            if (!program_armed_) return result::kBadState;
            std::uint32_t src = static_cast<std::uint32_t>(config_.download_buffer_page) << 7 |
                                (config_.download_buffer_offset & 0x7F);
            for (std::uint32_t i = 0; i < program_length_; i += 2) {
                aux_memory_[(program_address_ + i) & ~1u] = AuxWordAt(src + i);
            }
            program_armed_ = false;
            ++programmed_blocks_;
            return result::kOk;
        }
        default:
            return result::kBadParameter;
    }
}

// --- events ------------------------------------------------------------------------

void Controller::Enqueue(FidQueue& q, std::uint16_t fid, bool ok) {
    q.waiting.emplace_back(fid, ok);
    if (!q.raised) RaiseNext(q);
}

void Controller::RaiseNext(FidQueue& q) {
    if (q.raised || q.waiting.empty()) return;
    auto [fid, ok] = q.waiting.front();
    q.waiting.pop_front();
    q.current = fid;
    q.current_ok = ok;
    q.raised = true;
    event_status_ |= ok ? q.bit_ok : q.bit_alt;
}

void Controller::Acknowledge(std::uint16_t bits) {
    for (FidQueue* q : {&alloc_q_, &rx_q_, &tx_q_, &info_q_}) {
        if (!q->raised) continue;
        std::uint16_t bit = q->current_ok ? q->bit_ok : q->bit_alt;
        if ((bits & bit) == 0) continue;
        event_status_ &= static_cast<std::uint16_t>(~bit);
        q->raised = false;
        // A received frame or an information frame is released by its acknowledgement.
        if (q == &rx_q_ || q == &info_q_) frames_.erase(q->current);
        if (!q->waiting.empty()) {
            if (config_.timing.event_requeue == 0) {
                RaiseNext(*q);
            } else {
                Schedule(config_.timing.event_requeue, true, [this, q]() { RaiseNext(*q); });
            }
        }
    }
    const std::uint16_t queued = ev::kAlloc | ev::kRx | ev::kTx | ev::kTxExc | ev::kInfo;
    event_status_ &= static_cast<std::uint16_t>(~(bits & ~queued));
}

void Controller::RaiseEvents(std::uint16_t bits) { event_status_ |= bits; }

void Controller::QueueInfoFrame(const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (std::uint16_t w : words) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    std::uint16_t fid = AllocateFrame(std::move(bytes), false);
    Enqueue(info_q_, fid, true);
}

void Controller::QueueReceivedFrame(std::uint16_t fid) { Enqueue(rx_q_, fid, true); }
void Controller::QueueTxCompletion(std::uint16_t fid, bool ok) { Enqueue(tx_q_, fid, ok); }
void Controller::QueueAllocEvent(std::uint16_t fid) { Enqueue(alloc_q_, fid, true); }

// --- frame memory ------------------------------------------------------------------

std::uint16_t Controller::NewFid() {
    for (;;) {
        next_fid_ = static_cast<std::uint16_t>(next_fid_ + 0x0062);
        if (next_fid_ < 0x0100 || next_fid_ >= 0xF000) next_fid_ = 0x0116;
        if (frames_.count(next_fid_) == 0) return next_fid_;
    }
}

std::uint16_t Controller::AllocateFrame(std::vector<std::uint8_t> bytes, bool tx_buffer) {
    std::uint16_t fid = NewFid();
    frames_[fid] = Buffer{std::move(bytes), tx_buffer};
    return fid;
}

void Controller::FreeFrame(std::uint16_t fid) { frames_.erase(fid); }

std::vector<std::uint8_t>* Controller::MutableFrame(std::uint16_t fid) {
    auto it = frames_.find(fid);
    return it == frames_.end() ? nullptr : &it->second.bytes;
}

std::optional<std::vector<std::uint8_t>> Controller::Frame(std::uint16_t fid) const {
    auto it = frames_.find(fid);
    if (it == frames_.end()) return std::nullopt;
    return it->second.bytes;
}

std::size_t Controller::AllocatedTxBuffers() const {
    return static_cast<std::size_t>(
        std::count_if(frames_.begin(), frames_.end(), [](const auto& f) { return f.second.tx_buffer; }));
}

// --- buffer access paths --------------------------------------------------------------

bool Controller::PathBusy(int path) const {
    return faults_.path_busy_forever[path] || scheduler_.Now() < paths_[path].ready_at;
}

void Controller::WriteOffset(int path, std::uint16_t value) {
    Path& p = paths_[path];
    p.offset = value;
    p.position = value & 0x0FFF;
    p.ready_at = scheduler_.Now() + config_.timing.path_busy;
    p.active = true;
    p.error = false;
    if (IsRecordId(p.select)) {
        // A record written through a path starts over at its first word.
        if (p.position == 0) write_staging_.erase(p.select);
        return;
    }
    auto it = frames_.find(p.select);
    if (it == frames_.end() || p.position > it->second.bytes.size() || (p.position & 1) != 0) {
        p.error = true;
    }
}

std::uint16_t Controller::ReadData(int path) {
    Path& p = paths_[path];
    if (!p.active) {
        ProtocolError("data read on path " + std::to_string(path) + " without select and offset");
        return 0;
    }
    if (PathBusy(path)) {
        ProtocolError("data read on path " + std::to_string(path) + " while the path is busy");
        return 0;
    }
    if (p.error) return 0;
    std::uint32_t pos = p.position;
    p.position += 2;
    if (IsRecordId(p.select)) {
        auto img = access_images_.find(p.select);
        if (img == access_images_.end()) {
            ProtocolError("record " + Hex(p.select) + " read on a path without CMD_ACCESS");
            return 0;
        }
        std::size_t index = pos / 2;
        return index < img->second.size() ? img->second[index] : 0;
    }
    const auto& bytes = frames_[p.select].bytes;
    std::uint16_t lo = pos < bytes.size() ? bytes[pos] : 0;
    std::uint16_t hi = pos + 1 < bytes.size() ? bytes[pos + 1] : 0;
    return static_cast<std::uint16_t>(lo | hi << 8);
}

void Controller::WriteData(int path, std::uint16_t value) {
    Path& p = paths_[path];
    if (!p.active) {
        ProtocolError("data write on path " + std::to_string(path) + " without select and offset");
        return;
    }
    if (PathBusy(path)) {
        ProtocolError("data write on path " + std::to_string(path) + " while the path is busy");
        return;
    }
    if (p.error) return;
    std::uint32_t pos = p.position;
    p.position += 2;
    if (IsRecordId(p.select)) {
        auto& staging = write_staging_[p.select];
        std::size_t index = pos / 2;
        if (index >= 256) {
            ProtocolError("record " + Hex(p.select) + " written beyond 256 words");
            return;
        }
        if (staging.size() <= index) staging.resize(index + 1, 0);
        staging[index] = value;
        return;
    }
    auto& bytes = frames_[p.select].bytes;
    if (pos + 2 > bytes.size()) {
        ProtocolError("data write beyond the end of buffer " + Hex(p.select) + " (" +
                      std::to_string(bytes.size()) + " bytes) at byte " + std::to_string(pos));
        return;
    }
    bytes[pos] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[pos + 1] = static_cast<std::uint8_t>(value >> 8);
}

// --- auxiliary port ------------------------------------------------------------------

void Controller::WriteControl(std::uint16_t value) {
    control_ = value;
    bool enable = (value & kAuxEnable) != 0;
    bool disable = (value & kAuxDisable) != 0;
    if (!enable && !disable) return;
    if (enable && disable) {
        ProtocolError("auxiliary port enable and disable written together");
        return;
    }
    if (params_[0] != kAuxKey0 || params_[1] != kAuxKey1 || params_[2] != kAuxKey2) {
        ProtocolError("auxiliary port " + std::string(enable ? "enable" : "disable") +
                      " without the key in PARAM0..PARAM2");
        return;
    }
    if (faults_.aux_stuck) return;
    std::uint16_t target = enable ? kAuxStateMask : 0;
    Schedule(config_.timing.aux_switch, false, [this, target]() { aux_state_ = target; });
}

std::uint16_t Controller::AuxWordAt(std::uint32_t address) const {
    auto it = aux_memory_.find(address & ~1u);
    return it == aux_memory_.end() ? 0 : it->second;
}

std::uint16_t Controller::ReadAuxWord() {
    if (!AuxPortOpen()) {
        ProtocolError("auxiliary data read while the port is closed");
        return 0;
    }
    std::uint16_t v = AuxWordAt(aux_address_);
    aux_address_ = (aux_address_ + 2) & 0x7FFFFF;
    return v;
}

void Controller::WriteAuxWord(std::uint16_t value) {
    if (!AuxPortOpen()) {
        ProtocolError("auxiliary data write while the port is closed");
        return;
    }
    aux_memory_[aux_address_ & ~1u] = value;
    aux_address_ = (aux_address_ + 2) & 0x7FFFFF;
}

std::vector<std::uint8_t> Controller::AuxMemory(std::uint32_t address, std::size_t bytes) const {
    std::vector<std::uint8_t> out;
    out.reserve(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        std::uint32_t a = static_cast<std::uint32_t>(address + i);
        std::uint16_t w = AuxWordAt(a);
        out.push_back(static_cast<std::uint8_t>((a & 1) ? w >> 8 : w & 0xFF));
    }
    return out;
}

void Controller::SetAuxMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint32_t a = static_cast<std::uint32_t>(address + i);
        std::uint16_t w = AuxWordAt(a);
        if (a & 1) {
            w = static_cast<std::uint16_t>((w & 0x00FF) | bytes[i] << 8);
        } else {
            w = static_cast<std::uint16_t>((w & 0xFF00) | bytes[i]);
        }
        aux_memory_[a & ~1u] = w;
    }
}

// --- firmware state ----------------------------------------------------------------

std::uint8_t Controller::IndirectRegister(unsigned number) const {
    return number < 128 ? indirect_[number / 2] : 0;
}

void Controller::ResetFirmware() {
    CancelFirmwareEvents();
    event_status_ = 0;
    for (FidQueue* q : {&alloc_q_, &rx_q_, &tx_q_, &info_q_}) {
        q->waiting.clear();
        q->raised = false;
    }
    frames_.clear();
    access_images_.clear();
    write_staging_.clear();
    for (Path& p : paths_) p = Path{};
    int_enable_ = 0;
    port_enabled_ = false;
    monitor_mode_ = false;
    sw_support_[0] = sw_support_[1] = sw_support_[2] = 0;
    program_armed_ = false;
    tallies_.fill(0);
    for (unsigned i = 0; i < indirect_.size(); ++i) indirect_[i] = static_cast<std::uint8_t>(0x40 + i);
    LoadDefaultRecords();
    OnInit();
}

void Controller::Remove(bool spurious_interrupt) {
    removed_ = true;
    spurious_pending_ = spurious_interrupt;
}

MacAddress Controller::StationAddress() const {
    MacAddress mac{};
    auto it = records_.find(rid::kMacAddress);
    if (it == records_.end() || it->second.size() < 5) return config_.factory_mac;
    for (int i = 0; i < 3; ++i) {
        mac[2 * i] = static_cast<std::uint8_t>(it->second[2 + i] & 0xFF);
        mac[2 * i + 1] = static_cast<std::uint8_t>(it->second[2 + i] >> 8);
    }
    return mac;
}

std::optional<std::vector<std::uint16_t>> Controller::Record(std::uint16_t rid) const {
    auto it = records_.find(rid);
    if (it == records_.end()) return std::nullopt;
    return it->second;
}

void Controller::SetRecord(std::uint16_t rid, std::vector<std::uint16_t> words) {
    records_[rid] = std::move(words);
}

unsigned Controller::RecordWrites(std::uint16_t rid) const {
    auto it = record_writes_.find(rid);
    return it == record_writes_.end() ? 0 : it->second;
}

namespace {

std::vector<std::uint16_t> Words(std::uint16_t rid, std::initializer_list<std::uint16_t> data) {
    std::vector<std::uint16_t> w = {static_cast<std::uint16_t>(data.size() + 1), rid};
    w.insert(w.end(), data.begin(), data.end());
    return w;
}

std::vector<std::uint16_t> Bytes(std::uint16_t rid, const std::uint8_t* bytes, std::size_t n) {
    std::vector<std::uint16_t> w = {static_cast<std::uint16_t>((n + 1) / 2 + 1), rid};
    for (std::size_t i = 0; i < n; i += 2) {
        std::uint16_t hi = i + 1 < n ? bytes[i + 1] : 0;
        w.push_back(static_cast<std::uint16_t>(bytes[i] | hi << 8));
    }
    return w;
}

}  // namespace

std::vector<std::uint16_t> NameRecord(std::uint16_t rid, const std::string& name) {
    std::vector<std::uint16_t> w(19, 0);
    w[0] = 0x12;
    w[1] = rid;
    std::size_t n = std::min<std::size_t>(name.size(), 32);
    w[2] = static_cast<std::uint16_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t byte = static_cast<std::uint8_t>(name[i]);
        w[3 + i / 2] |= static_cast<std::uint16_t>((i & 1) ? byte << 8 : byte);
    }
    return w;
}

std::string NameFromRecord(const std::vector<std::uint16_t>& words) {
    if (words.size() < 3) return {};
    std::size_t n = std::min<std::size_t>(words[2], 32);
    std::string s;
    for (std::size_t i = 0; i < n && 3 + i / 2 < words.size(); ++i) {
        std::uint16_t w = words[3 + i / 2];
        s.push_back(static_cast<char>((i & 1) ? w >> 8 : w & 0xFF));
    }
    return s;
}

void Controller::LoadDefaultRecords() {
    records_.clear();
    const ControllerConfig& c = config_;
    records_[rid::kNetworkMode] = Words(rid::kNetworkMode, {1});
    records_[rid::kMacAddress] = Bytes(rid::kMacAddress, c.factory_mac.data(), 6);
    records_[rid::kDesiredSsid] = NameRecord(rid::kDesiredSsid, "");
    records_[rid::kOwnChannel] = Words(rid::kOwnChannel, {3});
    records_[rid::kOwnSsid] = NameRecord(rid::kOwnSsid, "");
    records_[rid::kApDensity] = Words(rid::kApDensity, {1});
    records_[rid::kPsMode] = Words(rid::kPsMode, {0});
    records_[rid::kPsLevel] = Words(rid::kPsLevel, {0});
    records_[rid::kStationName] = NameRecord(rid::kStationName, c.station_name);
    records_[rid::kDefaultKeyId] = Words(rid::kDefaultKeyId, {0});
    for (std::uint16_t k = rid::kDefaultKey0; k <= rid::kDefaultKey3; ++k) {
        records_[k] = Words(k, {0, 0, 0});
    }
    records_[rid::kWepFlags] = Words(rid::kWepFlags, {0});
    records_[rid::kAuthenticationType] = Words(rid::kAuthenticationType, {1, 0, 0});
    records_[rid::kFragThreshold] = Words(rid::kFragThreshold, {2346});
    records_[rid::kMediumReservation] = Words(rid::kMediumReservation, {2347});
    records_[rid::kTransmitRate] = Words(rid::kTransmitRate, {15});
    records_[rid::kShortPreamble] = Words(rid::kShortPreamble, {0});
    records_[rid::kBasicRates] = Words(rid::kBasicRates, {3});
    records_[rid::kFce0] = Words(rid::kFce0, {0});
    if (c.newer_firmware) records_[rid::kScanRequest] = Words(rid::kScanRequest, {0, 0, 0});
    records_[rid::kDownloadBuffer] = Words(
        rid::kDownloadBuffer, {c.download_buffer_page, c.download_buffer_offset, c.download_buffer_length});
    records_[rid::kIdentityFd02] = Words(rid::kIdentityFd02, {0x8002, 0x0002, 0x0001, 0x0005});
    records_[rid::kFd0d] = Words(rid::kFd0d, {0x0001, 0x0000, c.fd0d_word2, 0x0000, 0x0000});
    records_[rid::kChannelMask] = Words(rid::kChannelMask, {c.channel_mask});
    records_[rid::kFd11] = Words(rid::kFd11, {0x0001, c.fd11_code, 0x0000, 0x0000});
    if (c.newer_firmware) {
        records_[rid::kIdentityFd20] = Words(rid::kIdentityFd20, {0x001F, 0x0002, 0x0001, 0x0004});
    } else {
        records_[rid::kIdentityFd20] = Words(rid::kIdentityFd20, {0x001F, 0x0001, 0x0000, 0x0008});
    }
    records_[rid::kFd40] = Words(rid::kFd40, {c.fd40_value});
    records_[rid::kCurrentSsid] = NameRecord(rid::kCurrentSsid, "");
    records_[rid::kCurrentBssid] = Words(rid::kCurrentBssid, {0, 0, 0});
    records_[rid::kLinkQuality] = Words(rid::kLinkQuality, {0, 0, 0});
    records_[rid::kCurrentChannel] = Words(rid::kCurrentChannel, {3});
}

}  // namespace card
