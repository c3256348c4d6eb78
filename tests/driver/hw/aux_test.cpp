// The auxiliary port and firmware download, asserted on the access trace and
// on the controller's memory.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::HwBench;
using mirel_test::Trace;
using W = std::pair<std::uint16_t, std::uint16_t>;

class AuxTest : public HwBench {
  protected:
    void SetUp() override {
        HwBench::SetUp();
        Driver([&] {
            ASSERT_EQ(HwResetController(a_), 0);
            a_->DownloadBufPage = card_->config().download_buffer_page;
            a_->DownloadBufOffset = card_->config().download_buffer_offset;
        });
    }
};

TEST_F(AuxTest, KeyWordsGoToTheParametersBeforeTheControlBit) {
    struct Case {
        const char* name;
        USHORT (*op)(PADAPTER);
        std::uint16_t control;
    } cases[] = {{"enable", HwAuxEnable, AUX_ENABLE}, {"disable", HwAuxDisable, AUX_DISABLE}};
    for (const Case& c : cases) {
        std::size_t mark = Mark();
        Driver([&] { EXPECT_EQ(c.op(a_), 0) << c.name; });
        EXPECT_EQ(Since(mark).AllWrites(), (std::vector<W>{{REG_PARAM0, AUX_KEY0},
                                                          {REG_PARAM1, AUX_KEY1},
                                                          {REG_PARAM2, AUX_KEY2},
                                                          {REG_CONTROL, c.control}}))
            << c.name;
    }
    EXPECT_FALSE(card_->AuxPortOpen());
}

TEST_F(AuxTest, PortAlreadyInTheWantedStateIsLeftAlone) {
    std::size_t mark = Mark();
    Driver([&] { EXPECT_EQ(HwAuxDisable(a_), 0); });
    EXPECT_TRUE(Since(mark).AllWrites().empty());
    Driver([&] { EXPECT_EQ(HwAuxEnable(a_), 0); });
    mark = Mark();
    Driver([&] { EXPECT_EQ(HwAuxEnable(a_), 0); });
    Trace t = Since(mark);
    EXPECT_TRUE(t.AllWrites().empty());
    EXPECT_EQ(t.Reads(REG_CONTROL), 1u);
}

TEST_F(AuxTest, PortThatNeverSwitchesTimesOutAfterAThousandPolls) {
    card_->faults().aux_stuck = true;
    std::size_t mark = Mark();
    Driver([&] { EXPECT_EQ(HwAuxEnable(a_), HW_ERR_TIMEOUT); });
    EXPECT_EQ(Since(mark).Reads(REG_CONTROL), 1001u);
}

TEST_F(AuxTest, BusyCommandRegisterAcknowledgesEvCmdAndWritesNoKey) {
    card_->faults().command_busy_forever = true;
    std::size_t mark = Mark();
    Driver([&] {
        EXPECT_EQ(HwAuxEnable(a_), HW_ERR_TIMEOUT);
        USHORT word;
        EXPECT_FALSE(HwAuxRead(a_, &word, 0x390000, 1));
    });
    Trace t = Since(mark);
    EXPECT_EQ(t.AllWrites(), (std::vector<W>{{REG_EVENT_ACK, EV_CMD}, {REG_EVENT_ACK, EV_CMD}}));
    EXPECT_EQ(t.Reads(REG_COMMAND), 2u * 20001u) << "100 ms of polls each";
}

TEST_F(AuxTest, MemoryBlockReadAddressesPageAndOffset) {
    std::size_t mark = Mark();
    Driver([&] { EXPECT_EQ(HwReadControllerMemoryBlock(a_), 0); });
    Trace t = Since(mark);
    EXPECT_EQ(t.WritesTo(REG_AUX_PAGE), std::vector<std::uint16_t>{0x7200});
    EXPECT_EQ(t.WritesTo(REG_AUX_OFFSET), std::vector<std::uint16_t>{0});
    EXPECT_EQ(t.Reads(REG_AUX_DATA), 512u);
    auto expected = card_->AuxMemory(0x390000, 1024);
    EXPECT_EQ(0, std::memcmp(a_->AuxReadBuffer, expected.data(), 1024));
    EXPECT_FALSE(card_->AuxPortOpen()) << "closed again";
}

TEST_F(AuxTest, MemoryBlockReadThatFailsLeavesThePortOpen) {
    // The command register turns busy right when the port has opened.
    scheduler_.At(scheduler_.Now() + card_->config().timing.aux_switch,
                  [&] { card_->faults().command_busy_forever = true; });
    Driver([&] { EXPECT_EQ(HwReadControllerMemoryBlock(a_), HW_ERR_TIMEOUT); });
    EXPECT_TRUE(card_->AuxPortOpen());
}

TEST_F(AuxTest, ProgramModesAndTheirParameters) {
    card_->faults().command_result[0x0222] = 0;  // accepted without an open port
    card_->faults().command_result[0x0122] = 0;
    card_->faults().command_result[0x0022] = 0;
    card_->faults().command_result[0x0322] = 0;
    struct Case {
        USHORT mode;
        USHORT code;
        std::vector<W> params;
        USHORT status;
    } cases[] = {
        {0x0200, 0x0222, {{REG_PARAM0, 0x3456}, {REG_PARAM1, 0x0012}, {REG_PARAM2, 0x0400}}, 0},
        {0x0100, 0x0122, {{REG_PARAM0, 0x3456}, {REG_PARAM1, 0x0012}}, 0},
        {0x0000, 0x0022, {}, 0},
        {0x0300, 0x0322, {}, 0},
    };
    for (const Case& c : cases) {
        std::size_t mark = Mark();
        Driver([&] { EXPECT_EQ(HwProgram(a_, c.mode, 0x00123456, 0x0400), c.status); });
        auto commands = Since(mark).Commands();
        ASSERT_EQ(commands.size(), 1u) << std::hex << c.mode;
        EXPECT_EQ(commands[0].code, c.code);
        EXPECT_EQ(commands[0].params, c.params) << std::hex << c.mode;
    }
    std::size_t mark = Mark();
    Driver([&] { EXPECT_EQ(HwProgram(a_, 0x0400, 0x00123456, 0x0400), HW_ERR_TIMEOUT); });
    EXPECT_TRUE(Since(mark).accesses.empty()) << "an unknown mode touches nothing";
}

TEST_F(AuxTest, DownloadBlockProgramsItsWordsAtTheTargetAddress) {
    const UCHAR data[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    std::memcpy(a_->DownloadBuffer, data, sizeof data);
    a_->DownloadAddress = 0x00200000;
    a_->DownloadWordCount = 3;
    Driver([&] { ASSERT_EQ(HwAuxEnable(a_), 0); });
    std::size_t mark = Mark();
    Driver([&] { HwDownloadBlock(a_); });
    EXPECT_EQ(a_->DownloadFailed, 0);
    Trace t = Since(mark);
    auto commands = t.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].code, 0x0222);
    EXPECT_EQ(commands[0].params, (std::vector<W>{{REG_PARAM0, 0x0000}, {REG_PARAM1, 0x0020}, {REG_PARAM2, 6}}));
    EXPECT_EQ(commands[1].code, 0x0322);
    EXPECT_EQ(t.WritesTo(REG_AUX_DATA), (std::vector<std::uint16_t>{0x2211, 0x4433, 0x6655}));
    // Page and offset of the download buffer are set before the program command.
    auto writes = t.AllWrites();
    EXPECT_EQ(writes[0], W(REG_AUX_PAGE, card_->config().download_buffer_page));
    EXPECT_EQ(writes[1], W(REG_AUX_OFFSET, card_->config().download_buffer_offset));
    EXPECT_EQ(card_->AuxMemory(0x00200000, 6), std::vector<std::uint8_t>(data, data + 6));
    EXPECT_EQ(card_->ProgrammedBlocks(), 1u);
}

TEST_F(AuxTest, FailedFirstProgramCommandStillSendsTheBlock) {
    a_->DownloadWordCount = 3;
    card_->faults().command_result[0x0222] = 0x05;
    Driver([&] { ASSERT_EQ(HwAuxEnable(a_), 0); });
    std::size_t mark = Mark();
    Driver([&] { HwDownloadBlock(a_); });
    EXPECT_EQ(a_->DownloadFailed, 1);
    Trace t = Since(mark);
    EXPECT_EQ(t.Writes(REG_AUX_DATA), 3u);
    auto commands = t.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].code, 0x0322);
}

TEST_F(AuxTest, WordCountBeyondTheDownloadBufferIsCut) {
    a_->DownloadWordCount = 0xFFFF;
    card_->faults().command_result[0x0222] = 0;
    card_->faults().command_result[0x0322] = 0;
    std::size_t mark = Mark();
    Driver([&] { HwDownloadBlock(a_); });
    Trace t = Since(mark);
    EXPECT_EQ(t.Commands()[0].params[2].second, 8192);
    EXPECT_EQ(t.Writes(REG_AUX_DATA), 4096u);
    expect_protocol_errors_ = true;  // the port was never opened
}

TEST_F(AuxTest, DownloadInProgressStretchesTheWaitOfAProgramCommand) {
    a_->DownloadInProgress = 1;
    card_->faults().no_cmd_event_for.insert(0x0222);
    sim::Micros start = scheduler_.Now();
    Driver([&] { EXPECT_EQ(HwProgram(a_, 0x0200, 0, 2), HW_ERR_TIMEOUT); });
    EXPECT_EQ(scheduler_.Now() - start, 3393u * 1000u + 0u) << "3393 polls of 1 ms";
    a_->DownloadInProgress = 0;
}

}  // namespace
