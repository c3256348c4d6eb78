// The controller model driven directly through its register window, the way
// any driver would have to drive the silicon.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "card/controller.h"
#include "sim/scheduler.h"

namespace {

using namespace card;

class ControllerTest : public ::testing::Test {
  protected:
    void Make(ControllerConfig config = {}) { c_ = std::make_unique<Controller>(s_, config); }
    void SetUp() override { Make(); }

    std::uint16_t R(std::uint16_t offset) { return c_->ReadPort(offset); }
    void W(std::uint16_t offset, std::uint16_t value) { c_->WritePort(offset, value); }
    void Run(sim::Micros us) { s_.AdvanceTo(s_.Now() + us); }

    // Issues a command and waits for EV_CMD; returns the result code.
    std::uint16_t Command(std::uint16_t code, std::uint16_t p0 = 0, std::uint16_t p1 = 0, std::uint16_t p2 = 0) {
        while (R(reg::kCommand) & kBusy) Run(1);
        W(reg::kParam0, p0);
        W(reg::kParam1, p1);
        W(reg::kParam2, p2);
        W(reg::kCommand, code);
        for (int i = 0; i < 100000 && !(R(reg::kEventStatus) & ev::kCmd); ++i) Run(5);
        EXPECT_TRUE(R(reg::kEventStatus) & ev::kCmd) << "no EV_CMD for command " << code;
        std::uint16_t result = (R(reg::kStatus) >> 8) & 0x7F;
        W(reg::kEventAck, ev::kCmd);
        return result;
    }
    std::vector<std::uint16_t> ReadPath0(std::uint16_t select, std::size_t words) {
        W(reg::kSelect0, select);
        W(reg::kOffset0, 0);
        while (R(reg::kOffset0) & kBusy) Run(1);
        std::vector<std::uint16_t> out;
        for (std::size_t i = 0; i < words; ++i) out.push_back(R(reg::kData0));
        return out;
    }
    void WritePath1(std::uint16_t select, const std::vector<std::uint16_t>& words) {
        W(reg::kSelect1, select);
        W(reg::kOffset1, 0);
        while (R(reg::kOffset1) & kBusy) Run(1);
        for (std::uint16_t w : words) W(reg::kData1, w);
    }
    std::uint16_t Allocate() {
        EXPECT_EQ(Command(cmd::kAllocate, 1660), result::kOk);
        for (int i = 0; i < 1000 && !(R(reg::kEventStatus) & ev::kAlloc); ++i) Run(1);
        std::uint16_t fid = R(reg::kAllocFid);
        W(reg::kEventAck, ev::kAlloc);
        return fid;
    }

    sim::Scheduler s_;
    std::unique_ptr<Controller> c_;
};

TEST_F(ControllerTest, CommandIsBusyThenCompletesWithEvCmdAfterItsVirtualTime) {
    W(reg::kCommand, cmd::kEnable);
    EXPECT_TRUE(R(reg::kCommand) & kBusy);
    EXPECT_FALSE(R(reg::kEventStatus) & ev::kCmd);
    Run(c_->config().timing.command_busy);
    EXPECT_FALSE(R(reg::kCommand) & kBusy);
    EXPECT_FALSE(R(reg::kEventStatus) & ev::kCmd);
    Run(c_->config().timing.command_enable);
    EXPECT_TRUE(R(reg::kEventStatus) & ev::kCmd);
    EXPECT_EQ((R(reg::kStatus) >> 8) & 0x7F, 0);
    EXPECT_TRUE(c_->PortEnabled());
    W(reg::kEventAck, ev::kCmd);
    EXPECT_EQ(R(reg::kEventStatus), 0);
    EXPECT_TRUE(c_->ProtocolErrors().empty());
}

TEST_F(ControllerTest, ResultCodesForUnknownAndInjectedCommands) {
    EXPECT_EQ(Command(0x0077), result::kUnknownCommand);
    c_->faults().command_result[cmd::kEnable] = 0x2A;
    EXPECT_EQ(Command(cmd::kEnable), 0x2A);
    EXPECT_FALSE(c_->PortEnabled()) << "a refused command has no effect";
}

TEST_F(ControllerTest, InitRestoresFirmwareDefaultsAndClearsEventsAndMemory) {
    WritePath1(rid::kNetworkMode, {2, rid::kNetworkMode, 0});
    EXPECT_EQ(Command(cmd::kAccess | 0x0100, rid::kNetworkMode), 0);
    EXPECT_EQ((*c_->Record(rid::kNetworkMode))[2], 0);
    std::uint16_t fid = Allocate();
    ASSERT_TRUE(c_->Frame(fid).has_value());
    W(reg::kIntEnable, 0x208F);
    c_->RaiseEvents(ev::kBit13);
    W(reg::kCommand, cmd::kInit);
    Run(c_->config().timing.command_init + 1);
    EXPECT_EQ(R(reg::kEventStatus), ev::kCmd) << "only the completion of CMD_INIT is left";
    EXPECT_EQ(R(reg::kIntEnable), 0);
    EXPECT_FALSE(c_->Frame(fid).has_value());
    EXPECT_EQ((*c_->Record(rid::kNetworkMode))[2], 1);
}

TEST_F(ControllerTest, AllocatedBuffersArriveOneAtATimeWithTheirFrameIds) {
    W(reg::kCommand, cmd::kAllocate);  // PARAM0 is 0: refused
    Run(100);
    EXPECT_EQ((R(reg::kStatus) >> 8) & 0x7F, result::kBadParameter);
    W(reg::kEventAck, ev::kCmd);
    std::set<std::uint16_t> fids;
    for (int i = 0; i < 4; ++i) fids.insert(Allocate());
    EXPECT_EQ(fids.size(), 4u);
    EXPECT_EQ(c_->AllocatedTxBuffers(), 4u);
    for (std::uint16_t fid : fids) EXPECT_EQ(c_->Frame(fid)->size(), 1660u);
}

TEST_F(ControllerTest, FrameMemoryLimitAnswersNoMemory) {
    ControllerConfig config;
    config.tx_buffer_limit = 2;
    Make(config);
    Allocate();
    Allocate();
    EXPECT_EQ(Command(cmd::kAllocate, 1660), result::kNoMemory);
}

TEST_F(ControllerTest, RecordsAreStoredAsWrittenAndReadWithTheCallersCount) {
    WritePath1(rid::kStationName, {0x12, rid::kStationName, 4, 'a' | 'b' << 8, 'c' | 'd' << 8});
    // Fewer words than the length word announces are still stored as written.
    EXPECT_EQ(Command(cmd::kAccess | 0x0100, rid::kStationName), 0);
    EXPECT_FALSE(c_->ProtocolErrors().empty());
    c_->ClearProtocolErrors();
    EXPECT_EQ(c_->Record(rid::kStationName)->size(), 5u);
    EXPECT_EQ(Command(cmd::kAccess, rid::kStationName), 0);
    auto words = ReadPath0(rid::kStationName, 8);
    EXPECT_EQ(words, (std::vector<std::uint16_t>{0x12, rid::kStationName, 4, 'a' | 'b' << 8, 'c' | 'd' << 8, 0, 0, 0}));
}

TEST_F(ControllerTest, InformationRecordsAreReadOnlyAndUnknownRecordsAreRefused) {
    WritePath1(rid::kChannelMask, {2, rid::kChannelMask, 0xFFFF});
    EXPECT_EQ(Command(cmd::kAccess | 0x0100, rid::kChannelMask), result::kReadOnly);
    EXPECT_EQ(Command(cmd::kAccess, 0xFC99), result::kNoSuchRecord);
    c_->faults().record_result[rid::kFd11] = 0x33;
    EXPECT_EQ(Command(cmd::kAccess, rid::kFd11), 0x33);
}

TEST_F(ControllerTest, FirmwareGenerationDecidesIdentityAndScanRequestRecord) {
    EXPECT_EQ(*c_->Record(rid::kIdentityFd20), (std::vector<std::uint16_t>{5, rid::kIdentityFd20, 0x1F, 2, 1, 4}));
    EXPECT_TRUE(c_->Record(rid::kScanRequest).has_value());
    ControllerConfig older;
    older.newer_firmware = false;
    Make(older);
    EXPECT_EQ((*c_->Record(rid::kIdentityFd20))[4], 0);
    EXPECT_EQ((*c_->Record(rid::kIdentityFd20))[5], 8);
    WritePath1(rid::kScanRequest, {4, rid::kScanRequest, 0x1FFF, 3, 0});
    EXPECT_EQ(Command(cmd::kAccess | 0x0100, rid::kScanRequest), result::kNoSuchRecord);
}

TEST_F(ControllerTest, QueuedEventsOfOneKindWaitForTheAcknowledgement) {
    c_->QueueInfoFrame({2, 0xF200, 1});
    c_->QueueInfoFrame({2, 0xF200, 2});
    ASSERT_TRUE(R(reg::kEventStatus) & ev::kInfo);
    std::uint16_t first = R(reg::kInfoFid);
    EXPECT_EQ(ReadPath0(first, 3)[2], 1);
    W(reg::kEventAck, ev::kInfo);
    EXPECT_FALSE(R(reg::kEventStatus) & ev::kInfo);
    EXPECT_FALSE(c_->Frame(first).has_value()) << "an acknowledged information frame is released";
    Run(c_->config().timing.event_requeue);
    ASSERT_TRUE(R(reg::kEventStatus) & ev::kInfo);
    EXPECT_EQ(ReadPath0(R(reg::kInfoFid), 3)[2], 2);
}

TEST_F(ControllerTest, InterruptLineFollowsStatusAndMask) {
    c_->RaiseEvents(ev::kBit13);
    EXPECT_FALSE(c_->InterruptAsserted());
    W(reg::kIntEnable, 0x208F);
    EXPECT_TRUE(c_->InterruptAsserted());
    W(reg::kEventAck, ev::kBit13);
    EXPECT_FALSE(c_->InterruptAsserted());
    c_->RaiseEvents(ev::kCmd);
    EXPECT_FALSE(c_->InterruptAsserted()) << "EV_CMD is not in the working mask";
}

TEST_F(ControllerTest, PathMisuseIsRecorded) {
    std::uint16_t fid = Allocate();
    W(reg::kSelect1, fid);
    W(reg::kOffset1, 0);
    W(reg::kData1, 0x1234);  // before the path is ready
    ASSERT_EQ(c_->ProtocolErrors().size(), 1u);
    W(reg::kOffset1, 1658);
    Run(5);
    W(reg::kData1, 0xABCD);  // the last word of the buffer
    W(reg::kData1, 0xABCD);  // beyond it
    EXPECT_EQ(c_->ProtocolErrors().size(), 2u);
    EXPECT_EQ((*c_->Frame(fid))[1658], 0xCD);
    c_->faults().path_busy_forever[0] = true;
    W(reg::kSelect0, fid);
    W(reg::kOffset0, 0);
    Run(1000);
    EXPECT_TRUE(R(reg::kOffset0) & kBusy);
}

TEST_F(ControllerTest, AuxiliaryPortOpensOnlyWithTheKey) {
    W(reg::kControl, kAuxEnable);
    Run(100);
    EXPECT_FALSE(c_->AuxPortOpen());
    EXPECT_EQ(c_->ProtocolErrors().size(), 1u);
    W(reg::kParam0, kAuxKey0);
    W(reg::kParam1, kAuxKey1);
    W(reg::kParam2, kAuxKey2);
    W(reg::kControl, kAuxEnable);
    EXPECT_EQ(R(reg::kControl) & kAuxStateMask, 0);
    Run(c_->config().timing.aux_switch);
    EXPECT_EQ(R(reg::kControl) & kAuxStateMask, kAuxStateMask);
    // Page and offset select a byte address; each data access moves one word on.
    W(reg::kAuxPage, 0x7200);
    W(reg::kAuxOffset, 0);
    std::uint16_t w0 = R(reg::kAuxData);
    std::uint16_t w1 = R(reg::kAuxData);
    auto bytes = c_->AuxMemory(0x390000, 4);
    EXPECT_EQ(w0, bytes[0] | bytes[1] << 8);
    EXPECT_EQ(w1, bytes[2] | bytes[3] << 8);
    EXPECT_EQ(bytes[0], 'M');
}

TEST_F(ControllerTest, ProgramModesCopyTheDownloadBufferToTheTargetAddress) {
    EXPECT_EQ(Command(cmd::kProgram | 0x0200, 0x0000, 0x0012, 4), result::kBadState) << "port closed";
    W(reg::kParam0, kAuxKey0);
    W(reg::kParam1, kAuxKey1);
    W(reg::kParam2, kAuxKey2);
    W(reg::kControl, kAuxEnable);
    Run(100);
    EXPECT_EQ(Command(cmd::kProgram | 0x0300), result::kBadState) << "no block announced";
    EXPECT_EQ(Command(cmd::kProgram | 0x0200, 0x3456, 0x0012, 4), 0);
    W(reg::kAuxPage, c_->config().download_buffer_page);
    W(reg::kAuxOffset, c_->config().download_buffer_offset);
    W(reg::kAuxData, 0xBEEF);
    W(reg::kAuxData, 0xCAFE);
    EXPECT_EQ(Command(cmd::kProgram | 0x0300), 0);
    EXPECT_EQ(c_->AuxMemory(0x123456, 4), (std::vector<std::uint8_t>{0xEF, 0xBE, 0xFE, 0xCA}));
    EXPECT_EQ(Command(cmd::kProgram), 0);
    EXPECT_EQ(c_->ProgrammedBlocks(), 1u);
    EXPECT_EQ(c_->CommittedImages(), 1u);
}

TEST_F(ControllerTest, IndirectRegistersAnswerInResp0) {
    EXPECT_EQ(Command(cmd::kWriteIndirect, 10, 0x5A), 0);
    EXPECT_EQ(Command(cmd::kReadIndirect, 10), 0);
    EXPECT_EQ(R(reg::kResp0) & 0xFF, 0x5A);
    EXPECT_EQ(Command(cmd::kReadIndirect, 11), result::kBadParameter);
    EXPECT_EQ(Command(cmd::kWriteIndirect, 128, 1), result::kBadParameter);
}

TEST_F(ControllerTest, RemovedCardReadsAllOnes) {
    c_->Remove();
    EXPECT_EQ(R(reg::kEventStatus), 0xFFFF);
    EXPECT_EQ(R(reg::kSwSupport0), 0xFFFF);
    W(reg::kCommand, cmd::kEnable);
    Run(1000);
    EXPECT_FALSE(c_->PortEnabled());
}

TEST_F(ControllerTest, TalliesArriveAsAnInformationFrame) {
    c_->Tallies()[0] = 0x00010002;
    c_->Tallies()[20] = 7;
    EXPECT_EQ(Command(cmd::kInquire, info::kTallies), 0);
    ASSERT_TRUE(R(reg::kEventStatus) & ev::kInfo);
    auto words = ReadPath0(R(reg::kInfoFid), 44);
    EXPECT_EQ(words[0], 43);
    EXPECT_EQ(words[1], info::kTallies);
    EXPECT_EQ(words[2], 2);
    EXPECT_EQ(words[3], 1);
    EXPECT_EQ(words[42], 7);
}

}  // namespace
