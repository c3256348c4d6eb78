// Register-level model of the 802.11b MAC controller on the PC Card.
//
// The host reaches it only through 16-bit port reads and writes on its 64-byte
// window. Commands, buffer access paths and the auxiliary port take virtual
// time (set in Timing) and report through the event status register, exactly
// as a driver has to expect from the silicon. Every port access is kept in a
// trace with its virtual time so that tests can assert register sequences,
// and misuse of the register protocol (a data access while a path is busy, a
// command written while one is running, a write beyond a buffer) is recorded
// as a protocol error instead of being silently absorbed.
#ifndef MIREL_CARD_CONTROLLER_H
#define MIREL_CARD_CONTROLLER_H

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "card/air.h"
#include "card/ieee80211.h"
#include "card/registers.h"
#include "sim/io_device.h"
#include "sim/scheduler.h"

namespace card {

using sim::Micros;
using MacAddress = std::array<std::uint8_t, 6>;

struct Timing {
    Micros command_busy = 2;        // REG_COMMAND busy after a command is written
    Micros command_default = 20;    // command written -> EV_CMD
    Micros command_init = 400;
    Micros command_enable = 60;
    Micros command_disable = 40;
    Micros command_program = 150;
    Micros path_busy = 2;           // offset written -> path ready
    Micros alloc_event = 10;        // CMD_ALLOCATE done -> EV_ALLOC
    Micros aux_switch = 30;         // control written -> auxiliary port state changes
    Micros event_requeue = 1;       // acknowledged event -> next queued one of its kind (0: at once)
    // radio
    Micros join_scan = 20000;            // port enabled -> first search for a network
    Micros search_retry = 500000;        // between searches while none is found
    Micros association_timeout = 20000;  // no answer to authentication or association
    Micros scan = 40000;                 // a scan requested by the host
    unsigned beacon_loss = 8;            // beacon intervals without a beacon: out of range
};

// What the firmware on the card is and holds after CMD_INIT.
struct ControllerConfig {
    MacAddress factory_mac = {0x00, 0x60, 0xB3, 0x1A, 0x2B, 0x3C};
    // Newer firmware answers RID_IDENTITY_FD20 words 2,3 = 1,4 and accepts
    // RID_SCAN_REQUEST; older firmware answers 0,8 and refuses that record.
    bool newer_firmware = true;
    std::uint16_t fd0d_word2 = 2;
    std::uint16_t channel_mask = 0x07FF;  // channels 1..11
    std::uint8_t fd11_code = 0x10;
    std::uint8_t fd40_value = 0x02;
    std::string station_name = "";
    std::uint16_t download_buffer_page = 0x7800;  // auxiliary address 0x3C0000
    std::uint16_t download_buffer_offset = 0x0000;
    std::uint16_t download_buffer_length = 0x2000;
    unsigned tx_buffer_limit = 8;  // CMD_ALLOCATE buffers the frame memory holds
    Timing timing;
};

struct PortAccess {
    Micros time;
    bool write;
    std::uint16_t offset;
    std::uint16_t value;
};

struct CommandRecord {
    Micros time;  // when the command was written
    std::uint16_t code;
    std::uint16_t param0, param1, param2;
    std::uint16_t result;  // result code, 0xFFFF while the command has not completed
};

// Fault injection. Each field changes one aspect of the firmware's behaviour
// until it is cleared again.
struct Faults {
    bool command_busy_forever = false;  // REG_COMMAND never clears its busy bit
    bool no_cmd_event = false;          // commands complete but EV_CMD is never raised
    std::set<std::uint16_t> no_cmd_event_for;           // ... only for these command codes
    std::map<std::uint16_t, std::uint16_t> command_result;  // code -> result code
    std::map<std::uint16_t, std::uint16_t> record_result;   // rid -> result of access/write
    std::array<bool, 2> path_busy_forever = {false, false};
    bool no_alloc_event = false;  // CMD_ALLOCATE succeeds but EV_ALLOC never comes
    bool aux_stuck = false;       // the auxiliary port never changes state
    unsigned fail_transmissions = 0;  // so many transmissions end with EV_TX_EXC
    bool hold_transmissions = false;  // finished transmissions report nothing until released
    bool hold_tx_status = false;      // buffers come back, EV_TX/EV_TX_EXC wait until released
};

// The station side of the firmware: which network it is in.
enum class LinkState { kIdle, kSearching, kAuthenticating, kAssociating, kJoined };

class Controller : public sim::IoDevice, public air::Radio {
  public:
    explicit Controller(sim::Scheduler& scheduler, ControllerConfig config = {});
    ~Controller() override;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // --- the register window -------------------------------------------------
    std::uint16_t ReadPort(std::uint32_t offset) override;
    void WritePort(std::uint32_t offset, std::uint16_t value) override;
    bool InterruptAsserted() const override;

    // --- observation -----------------------------------------------------------
    const std::deque<PortAccess>& Trace() const { return trace_; }
    void ClearTrace() { trace_.clear(); }
    void SetTraceLimit(std::size_t entries) { trace_limit_ = entries; }
    std::uint64_t TraceDropped() const { return trace_dropped_; }
    const std::vector<CommandRecord>& Commands() const { return commands_; }
    const std::vector<std::string>& ProtocolErrors() const { return protocol_errors_; }
    void ClearProtocolErrors() { protocol_errors_.clear(); }

    std::uint16_t EventStatus() const { return event_status_; }
    std::uint16_t InterruptMask() const { return int_enable_; }
    bool PortEnabled() const { return port_enabled_; }
    bool InMonitorMode() const { return monitor_mode_; }
    bool AuxPortOpen() const { return aux_state_ == kAuxStateMask; }
    bool Removed() const { return removed_; }
    std::uint16_t SwSupport0() const { return sw_support_[0]; }
    std::uint8_t IndirectRegister(unsigned number) const;
    // The station address the MAC uses now (RID_MAC_ADDRESS as last written).
    MacAddress StationAddress() const;

    // Record as the firmware holds it: length word, identifier, data words.
    std::optional<std::vector<std::uint16_t>> Record(std::uint16_t rid) const;
    void SetRecord(std::uint16_t rid, std::vector<std::uint16_t> words);
    // Number of CMD_ACCESS_WRITE commands that stored `rid` since power-on.
    unsigned RecordWrites(std::uint16_t rid) const;

    // Frame memory.
    std::optional<std::vector<std::uint8_t>> Frame(std::uint16_t fid) const;
    std::size_t AllocatedTxBuffers() const;

    // Auxiliary (internal) memory, byte addressed, little-endian words.
    std::vector<std::uint8_t> AuxMemory(std::uint32_t address, std::size_t bytes) const;
    void SetAuxMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    // Blocks copied by program mode 0x0300 and images committed by mode 0x0000.
    unsigned ProgrammedBlocks() const { return programmed_blocks_; }
    unsigned CommittedImages() const { return committed_images_; }

    // --- test actions ----------------------------------------------------------
    Faults& faults() { return faults_; }
    // The card is pulled: every read returns 0xFFFF and writes are lost. With
    // `spurious_interrupt` the line is asserted once more, as a card going
    // away often does.
    void Remove(bool spurious_interrupt = false);
    // Writes a register the way the firmware (not the host) would, without a
    // trace entry: for example to overwrite the card-present signature.
    void PokeSwSupport0(std::uint16_t value) { sw_support_[0] = value; }
    // Raises status bits that carry no frame (EV_BIT13, EV_BIT15).
    void RaiseEvents(std::uint16_t bits);
    // Queues an information frame (words: length, type, data) for EV_INFO.
    void QueueInfoFrame(const std::vector<std::uint16_t>& words);
    // Tally counters reported by CMD_INQUIRE 0xF100 (21 32-bit counters).
    std::array<std::uint32_t, 21>& Tallies() { return tallies_; }

    const ControllerConfig& config() const { return config_; }
    sim::Scheduler& scheduler() { return scheduler_; }

    // --- the radio -------------------------------------------------------------
    // Puts the controller's antenna on `air`. Without an air it hears nothing
    // and every transmission fails.
    void AttachAir(air::Air& air, int signal_dbm = -45);
    int RadioId() const { return radio_id_; }
    LinkState Link() const { return station_.state; }
    wifi::Mac JoinedBssid() const { return station_.bssid; }
    // A frame heard by the receiver, as if it came from the air (bypasses
    // every access point: any shape of frame can be offered).
    void InjectFrame(const wifi::Bytes& frame80211, int signal_dbm = -40);
    // A receive buffer (descriptor and data) exactly as given, raised with EV_RX.
    void InjectReceiveBuffer(std::vector<std::uint8_t> buffer);
    // Reports what the hold faults kept back, in transmit order.
    void ReleaseHeldTransmissions();
    std::size_t HeldTransmissions() const { return held_.size(); }
    // Hands a transmit buffer back with EV_ALLOC, as the firmware would.
    void RaiseAllocEvent(std::uint16_t fid) { QueueAllocEvent(fid); }
    // Transmit buffers as the last CMD_TRANSMIT of each found them.
    std::vector<std::uint16_t> TransmittedFids() const { return transmitted_fids_; }
    struct RadioCounters {
        std::uint64_t transmitted = 0, transmit_failed = 0, received = 0, dropped = 0, decrypt_failed = 0;
    };
    const RadioCounters& Counters() const { return counters_; }

    int Channel() const override { return station_.channel; }
    bool Listening() const override { return !removed_ && port_enabled_; }
    void OnFrame(const wifi::Bytes& frame, int signal_dbm, int from) override;
    std::optional<air::Network> Advertised() const override;
    wifi::Mac Address() const override { return StationAddress(); }

  protected:
    // For the radio side: frames and events.
    std::uint16_t AllocateFrame(std::vector<std::uint8_t> bytes, bool tx_buffer);
    void FreeFrame(std::uint16_t fid);
    std::vector<std::uint8_t>* MutableFrame(std::uint16_t fid);
    void QueueReceivedFrame(std::uint16_t fid);
    void QueueTxCompletion(std::uint16_t fid, bool ok);
    void QueueAllocEvent(std::uint16_t fid);
    void ProtocolError(std::string what);
    std::map<std::uint16_t, std::vector<std::uint16_t>>& records() { return records_; }
    // Runs `fn` after `delay`. Firmware events are dropped by CMD_INIT.
    void Schedule(Micros delay, bool firmware, std::function<void()> fn);

  private:
    // radio side (radio.cpp)
    void OnPortEnabled(bool enabled);
    void OnMonitorMode(bool on);
    std::uint16_t OnTransmit(std::uint16_t fid, bool reclaim);
    std::uint16_t OnInquire(std::uint16_t type);
    std::uint16_t OnRecordWritten(std::uint16_t rid);
    void OnRecordAccess(std::uint16_t rid);
    void OnInit();
    void StartJoin();
    void Search(std::uint64_t generation);
    void Joined();
    void LinkLost(std::uint16_t code, bool out_of_range);
    void WatchBeacons(std::uint64_t generation);
    void BeaconIbss(std::uint64_t generation);
    void SendManagement(std::uint16_t subtype, const wifi::Mac& to, const wifi::Bytes& body);
    void HandleManagement(const wifi::Header& h, const wifi::Bytes& body, int signal_dbm);
    void HandleData(wifi::Header h, const wifi::Bytes& body);
    void QueueReceive(const wifi::Header& h, const wifi::Bytes& data, bool recognise_snap);
    void ReportLink(std::uint16_t code);
    std::vector<std::uint16_t> ScanFrame(std::uint16_t type, std::size_t entry_size) const;
    void UpdateLinkRecords();
    std::uint8_t NetworkModeSetting() const;
    std::string DesiredSsid() const;
    std::uint16_t WepFlags() const;
    int OwnChannel() const;
    unsigned RateKbps() const;
    std::array<wifi::Bytes, 4> Keys() const;
    std::uint16_t RecordWord(std::uint16_t rid, std::size_t data_word, std::uint16_t fallback) const;

    struct Station {
        LinkState state = LinkState::kIdle;
        wifi::Mac bssid{};
        std::string ssid;
        int channel = 3;
        int signal = -200;
        std::uint16_t beacon_interval = 100;
        std::uint16_t capability = 0;
        Micros last_beacon = 0;
        bool ibss_owner = false;
        bool lost = false;          // the last link ended out of range
        wifi::Mac lost_bssid{};
        std::uint64_t generation = 0;  // timers of an older state are stale
        std::map<std::pair<wifi::Mac, std::uint16_t>, wifi::Bytes> fragments;
    };
    air::Air* air_ = nullptr;
    int radio_id_ = -1;
    Station station_;
    std::uint16_t tx_sequence_ = 0;
    std::uint32_t wep_iv_ = 0x000200;
    Micros tx_busy_until_ = 0;
    RadioCounters counters_;
    struct Held {
        std::uint16_t fid;
        bool reclaim, ok, status_only;
    };
    std::vector<Held> held_;
    std::vector<std::uint16_t> transmitted_fids_;
    void FinishTransmission(std::uint16_t fid, bool reclaim, bool ok);

    struct Path {
        std::uint16_t select = 0;
        std::uint16_t offset = 0;  // as written
        std::uint32_t position = 0;  // byte position of the next data access
        Micros ready_at = 0;
        bool error = false;
        bool active = false;  // select and offset written since the last reset
    };
    struct Buffer {
        std::vector<std::uint8_t> bytes;
        bool tx_buffer = false;
    };
    // Events that carry a frame identifier wait in line behind each other.
    struct FidQueue {
        std::uint16_t bit_ok;
        std::uint16_t bit_alt;  // EV_TX_EXC shares the completion register
        std::uint16_t reg;
        std::deque<std::pair<std::uint16_t, bool>> waiting;  // fid, ok
        bool raised = false;
        bool current_ok = true;
        std::uint16_t current = 0;
    };

    void CancelFirmwareEvents();
    bool CommandBusy() const;
    bool PathBusy(int path) const;
    void Trace(bool write, std::uint16_t offset, std::uint16_t value);
    std::uint16_t ReadRegister(std::uint16_t offset);
    void WriteRegister(std::uint16_t offset, std::uint16_t value);
    void StartCommand(std::uint16_t code);
    void CompleteCommand(std::size_t index);
    std::uint16_t Execute(std::uint16_t code, std::uint16_t p0, std::uint16_t p1, std::uint16_t p2);
    std::uint16_t ExecuteProgram(std::uint16_t mode, std::uint16_t p0, std::uint16_t p1,
                                 std::uint16_t p2);
    Micros CommandTime(std::uint16_t code) const;
    void ResetFirmware();
    void LoadDefaultRecords();
    void Acknowledge(std::uint16_t bits);
    void RaiseNext(FidQueue& q);
    void Enqueue(FidQueue& q, std::uint16_t fid, bool ok);
    void WriteOffset(int path, std::uint16_t value);
    std::uint16_t ReadData(int path);
    void WriteData(int path, std::uint16_t value);
    void WriteControl(std::uint16_t value);
    std::uint16_t ReadAuxWord();
    void WriteAuxWord(std::uint16_t value);
    std::uint16_t AuxWordAt(std::uint32_t address) const;
    std::uint16_t NewFid();
    bool IsRecordId(std::uint16_t id) const { return id >= 0xFC00 && id <= 0xFDFF; }

    sim::Scheduler& scheduler_;
    ControllerConfig config_;
    Faults faults_;

    // registers
    std::uint16_t params_[3] = {0, 0, 0};
    std::uint16_t status_ = 0;
    std::uint16_t resp0_ = 0;
    std::uint16_t last_command_ = 0;
    Micros command_busy_until_ = 0;
    bool command_running_ = false;
    std::uint16_t event_status_ = 0;
    std::uint16_t int_enable_ = 0;
    std::uint16_t sw_support_[3] = {0, 0, 0};
    std::uint16_t control_ = 0;
    std::uint16_t aux_state_ = 0;
    std::uint32_t aux_address_ = 0;
    Path paths_[2];

    FidQueue alloc_q_{0x0008, 0x0008, 0, {}, false, true, 0};
    FidQueue rx_q_{0x0001, 0x0001, 0, {}, false, true, 0};
    FidQueue tx_q_{0x0002, 0x0004, 0, {}, false, true, 0};
    FidQueue info_q_{0x0080, 0x0080, 0, {}, false, true, 0};

    // firmware state
    bool removed_ = false;
    bool spurious_pending_ = false;
    bool port_enabled_ = false;
    bool monitor_mode_ = false;
    std::array<std::uint8_t, 64> indirect_{};
    std::map<std::uint16_t, std::vector<std::uint16_t>> records_;
    std::map<std::uint16_t, std::vector<std::uint16_t>> access_images_;  // CMD_ACCESS snapshots
    std::map<std::uint16_t, std::vector<std::uint16_t>> write_staging_;  // path writes to a rid
    std::map<std::uint16_t, unsigned> record_writes_;
    std::map<std::uint16_t, Buffer> frames_;
    std::uint16_t next_fid_ = 0;
    std::map<std::uint32_t, std::uint16_t> aux_memory_;  // even byte address -> word
    std::array<std::uint32_t, 21> tallies_{};
    // program state
    bool program_armed_ = false;
    std::uint32_t program_address_ = 0;
    std::uint16_t program_length_ = 0;
    unsigned programmed_blocks_ = 0;
    unsigned committed_images_ = 0;

    std::deque<PortAccess> trace_;
    std::size_t trace_limit_ = 2'000'000;
    std::uint64_t trace_dropped_ = 0;
    std::vector<CommandRecord> commands_;
    std::vector<std::string> protocol_errors_;

    // Events this controller put on the scheduler. Firmware events are
    // dropped by CMD_INIT; all are cancelled when the controller goes away.
    struct LiveEvent {
        sim::Scheduler::EventId id;
        bool firmware;
    };
    std::map<std::uint64_t, LiveEvent> live_events_;
    std::uint64_t next_token_ = 1;
};

// Name-class record image (length 0x12): the name's length, then 32 bytes.
std::vector<std::uint16_t> NameRecord(std::uint16_t rid, const std::string& name);
std::string NameFromRecord(const std::vector<std::uint16_t>& words);

}  // namespace card

#endif  // MIREL_CARD_CONTROLLER_H
