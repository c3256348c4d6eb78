// The command protocol and register window of the driver, against the
// controller model, asserted on the controller's access trace.
#include <gtest/gtest.h>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::HwBench;
using mirel_test::Trace;

using CommandTest = HwBench;

TEST_F(CommandTest, PollCountsAreComputedInSixteenBits) {
    struct Case {
        USHORT timeout;
        USHORT polls;
    } cases[] = {{50, 10001}, {100, 20001}, {500, 34465}, {1000, 3393}, {1500, 37857}, {10000, 33921}};
    for (const Case& c : cases) EXPECT_EQ(HwPollCount(c.timeout), c.polls) << c.timeout << " ms";
}

TEST_F(CommandTest, CommandTimeoutsByFullCode) {
    struct Case {
        USHORT code;
        USHORT ms;
    } cases[] = {{0x0000, 1500}, {0x0001, 500}, {0x0002, 500}, {0x0003, 10000}, {0x0022, 1000}, {0x0122, 1000},
                 {0x0222, 1000}, {0x0322, 1000}, {0x000A, 50},   {0x0010, 50},   {0x0011, 50},   {0x0021, 50},
                 {0x0121, 50},   {0x010B, 50},   {0x0B38, 50},   {0x0F38, 50},   {0x0422, 50}};
    for (const Case& c : cases) EXPECT_EQ(HwCommandTimeout(c.code), c.ms) << std::hex << c.code;
}

TEST_F(CommandTest, CommandSequenceWritesParametersInOrderThenCodeAndAcknowledges) {
    std::size_t mark = Mark();
    USHORT status = 0xFFFF;
    Driver([&] { status = HwIssueCommand(a_, 0x0031, 10, 0x5A, 0, 50); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(card_->IndirectRegister(10), 0x5A);
    auto writes = Since(mark).AllWrites();
    using W = std::pair<std::uint16_t, std::uint16_t>;
    EXPECT_EQ(writes, (std::vector<W>{{REG_PARAM0, 10}, {REG_PARAM1, 0x5A}, {REG_PARAM2, 0}, {REG_COMMAND, 0x0031},
                                      {REG_EVENT_ACK, EV_CMD}}));
}

TEST_F(CommandTest, BusyThatNeverClearsTimesOutAfterTenThousandAndOnePolls) {
    card_->faults().command_busy_forever = true;
    std::size_t mark = Mark();
    sim::Micros start = scheduler_.Now();
    USHORT status = 0;
    Driver([&] { status = HwIssueCommand(a_, CMD_INQUIRE, 0xF100, 50); });
    EXPECT_EQ(status, HW_ERR_TIMEOUT);
    Trace t = Since(mark);
    EXPECT_EQ(t.Reads(REG_COMMAND), 10001u);
    EXPECT_EQ(t.AllWrites(), (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{REG_EVENT_ACK, EV_CMD}}))
        << "nothing but the EV_CMD acknowledgement is written";
    EXPECT_EQ(scheduler_.Now() - start, 10001u * 5) << "each poll stalls 5 us";
}

TEST_F(CommandTest, MissingCompletionEventLeavesEvCmdUnacknowledged) {
    card_->faults().no_cmd_event = true;
    std::size_t mark = Mark();
    USHORT status = 0;
    Driver([&] { status = HwEnablePort(a_); });
    EXPECT_EQ(status, HW_ERR_TIMEOUT);
    Trace t = Since(mark);
    EXPECT_EQ(t.Reads(REG_EVENT_STATUS), 34465u) << "500 ms of polls for CMD_ENABLE";
    EXPECT_EQ(t.Writes(REG_EVENT_ACK), 0u);
}

TEST_F(CommandTest, LateCompletionIsSeenByTheNextCommand) {
    // The controller finishes the inquiry but its completion event comes
    // only after the driver has given up waiting.
    card_->faults().command_result[CMD_INQUIRE] = 0x0C;
    card_->faults().no_cmd_event_for.insert(CMD_INQUIRE);
    USHORT first = 0;
    Driver([&] { first = HwInquire(a_, 0xF100); });
    EXPECT_EQ(first, HW_ERR_TIMEOUT);
    // The event was only held back; let it show now, as a late completion would.
    card_->faults().no_cmd_event_for.clear();
    card_->RaiseEvents(EV_CMD);
    USHORT second = 0;
    Driver([&] { second = HwEnablePort(a_); });
    EXPECT_EQ(second, 0x0C) << "the stale EV_CMD carries the previous command's result";
}

TEST_F(CommandTest, ResetAcknowledgesEverythingThenWritesTheSignature) {
    std::size_t mark = Mark();
    USHORT status = 0xFFFF;
    Driver([&] { status = HwResetController(a_); });
    EXPECT_EQ(status, 0);
    auto writes = Since(mark).AllWrites();
    ASSERT_GE(writes.size(), 4u);
    using W = std::pair<std::uint16_t, std::uint16_t>;
    std::vector<W> tail(writes.end() - 3, writes.end());
    EXPECT_EQ(tail, (std::vector<W>{{REG_EVENT_ACK, EV_CMD}, {REG_EVENT_ACK, 0xFFFF}, {REG_SW_SUPPORT0, 0x7D37}}));
    EXPECT_EQ(card_->SwSupport0(), CARD_SIGNATURE);
}

TEST_F(CommandTest, FailedResetStillWritesTheSignatureButAcknowledgesNothingElse) {
    struct Case {
        const char* name;
        bool no_event;
        USHORT expected;
    } cases[] = {{"controller refuses", false, 0x05}, {"controller silent", true, HW_ERR_TIMEOUT}};
    for (const Case& c : cases) {
        card_->faults() = card::Faults{};
        if (c.no_event) {
            card_->faults().no_cmd_event = true;
        } else {
            card_->faults().command_result[CMD_INIT] = 0x05;
        }
        std::size_t mark = Mark();
        USHORT status = 0;
        Driver([&] { status = HwResetController(a_); });
        EXPECT_EQ(status, c.expected) << c.name;
        Trace t = Since(mark);
        auto acks = t.WritesTo(REG_EVENT_ACK);
        EXPECT_EQ(std::count(acks.begin(), acks.end(), 0xFFFF), 0) << c.name;
        EXPECT_EQ(t.WritesTo(REG_SW_SUPPORT0), std::vector<std::uint16_t>{CARD_SIGNATURE}) << c.name;
    }
}

TEST_F(CommandTest, ControllerResultSeventyFLooksLikeATimeout) {
    card_->faults().command_result[CMD_DISABLE] = 0x7F;
    USHORT status = 0;
    Driver([&] { status = HwDisablePort(a_); });
    EXPECT_EQ(status, HW_ERR_TIMEOUT);
}

TEST_F(CommandTest, EventWaitPollsSlowlyWhileADownloadIsInProgress) {
    struct Case {
        UCHAR in_progress;
        sim::Micros stall;
    } cases[] = {{0, 5}, {1, 1000}, {2, 5}};
    for (const Case& c : cases) {
        a_->DownloadInProgress = c.in_progress;
        sim::Micros start = scheduler_.Now();
        USHORT status = 0;
        Driver([&] { status = HwEventWait(a_, EV_INFO, 50); });
        EXPECT_EQ(status, HW_ERR_TIMEOUT);
        EXPECT_EQ(scheduler_.Now() - start, 10001u * c.stall) << "DownloadInProgress " << int(c.in_progress);
    }
    a_->DownloadInProgress = 0;
}

TEST_F(CommandTest, WrappersIssueTheirCommandCodes) {
    std::size_t mark = Mark();
    Driver([&] {
        EXPECT_EQ(HwMonitor(a_, 0x0B), 0);
        EXPECT_EQ(HwMonitor(a_, 0x0F), 0);
        EXPECT_EQ(HwEnablePort(a_), 0);
        EXPECT_EQ(HwDisablePort(a_), 0);
        EXPECT_EQ(HwInquire(a_, 0xF100), 0);
    });
    auto commands = Since(mark).Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].code, 0x0B38);
    EXPECT_TRUE(commands[0].params.empty());
    EXPECT_EQ(commands[1].code, 0x0F38);
    EXPECT_EQ(commands[2].code, CMD_ENABLE);
    EXPECT_EQ(commands[3].code, CMD_DISABLE);
    EXPECT_EQ(commands[4].code, CMD_INQUIRE);
    EXPECT_EQ(commands[4].params, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{REG_PARAM0, 0xF100}}));
}

TEST_F(CommandTest, UserCommandUsesItsOwnWordsAndReportsSuccessOnly) {
    a_->UserCommand[0] = 0x0021;
    a_->UserCommand[1] = 0xFC00;
    std::size_t mark = Mark();
    BOOLEAN ok = FALSE;
    Driver([&] { ok = HwUserCommand(a_); });
    EXPECT_TRUE(ok);
    auto commands = Since(mark).Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, 0x0021);
    EXPECT_EQ(commands[0].params.size(), 3u);
    EXPECT_EQ(commands[0].params[0].second, 0xFC00);
    a_->UserCommand[0] = 0x0077;  // unknown to the controller
    Driver([&] { ok = HwUserCommand(a_); });
    EXPECT_FALSE(ok);
}

}  // namespace
