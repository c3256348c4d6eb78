// Buffer access paths and record transfer, asserted on the access trace.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::HwBench;
using mirel_test::Trace;
using W = std::pair<std::uint16_t, std::uint16_t>;

class PathTest : public HwBench {
  protected:
    void SetUp() override {
        HwBench::SetUp();
        Driver([&] { ASSERT_EQ(HwResetController(a_), 0); });
    }
};

TEST_F(PathTest, ReadRecordIssuesAccessThenReadsExactlyTheCallersCount) {
    USHORT record[RECORD_BUFFER_WORDS] = {2, 0xFC00};
    std::size_t mark = Mark();
    USHORT status = 0xFFFF;
    Driver([&] { status = HwReadRecord(a_, record); });
    EXPECT_EQ(status, 0);
    Trace t = Since(mark);
    auto commands = t.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, CMD_ACCESS);
    EXPECT_EQ(commands[0].params, (std::vector<W>{{REG_PARAM0, 0xFC00}}));
    EXPECT_EQ(t.WritesTo(REG_SELECT0), std::vector<std::uint16_t>{0xFC00});
    EXPECT_EQ(t.WritesTo(REG_OFFSET0), std::vector<std::uint16_t>{0});
    EXPECT_EQ(t.Reads(REG_DATA0), 3u);
    EXPECT_EQ(record[0], 2);
    EXPECT_EQ(record[1], 0xFC00);
    EXPECT_EQ(record[2], 1) << "firmware default network mode";
}

TEST_F(PathTest, WriteRecordSendsLengthPlusOneWordsThenAccessWrite) {
    USHORT record[RECORD_BUFFER_WORDS] = {4, RID_AUTHENTICATION_TYPE, 2, 0, 0};
    std::size_t mark = Mark();
    USHORT status = 0xFFFF;
    Driver([&] { status = HwWriteRecord(a_, record); });
    EXPECT_EQ(status, 0);
    Trace t = Since(mark);
    EXPECT_EQ(t.WritesTo(REG_SELECT1), std::vector<std::uint16_t>{RID_AUTHENTICATION_TYPE});
    EXPECT_EQ(t.WritesTo(REG_DATA1), (std::vector<std::uint16_t>{4, RID_AUTHENTICATION_TYPE, 2, 0, 0}));
    auto commands = t.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, CMD_ACCESS_WRITE);
    EXPECT_EQ(commands[0].params, (std::vector<W>{{REG_PARAM0, RID_AUTHENTICATION_TYPE}}));
    EXPECT_EQ(*card_->Record(RID_AUTHENTICATION_TYPE),
              (std::vector<std::uint16_t>{4, RID_AUTHENTICATION_TYPE, 2, 0, 0}))
        << "stored as written, length word included";
}

TEST_F(PathTest, WithoutTheSignatureNoRecordCommandIsIssued) {
    struct Case {
        const char* name;
        bool removed;
    } cases[] = {{"signature overwritten", false}, {"card removed", true}};
    for (const Case& c : cases) {
        if (c.removed) {
            card_->Remove();
        } else {
            card_->PokeSwSupport0(0x1234);
        }
        USHORT read[RECORD_BUFFER_WORDS] = {2, RID_NETWORK_MODE};
        USHORT write[RECORD_BUFFER_WORDS] = {2, RID_NETWORK_MODE, 0};
        std::size_t mark = Mark();
        Driver([&] {
            EXPECT_EQ(HwReadRecord(a_, read), HW_ERR_TIMEOUT) << c.name;
            EXPECT_EQ(HwWriteRecord(a_, write), HW_ERR_TIMEOUT) << c.name;
        });
        Trace t = Since(mark);
        EXPECT_TRUE(t.AllWrites().empty()) << c.name << ":\n" << mirel_test::Describe(t.accesses);
        EXPECT_EQ(t.Reads(REG_SW_SUPPORT0), 2u) << c.name;
    }
}

TEST_F(PathTest, WriteWhosePathStaysBusyNeverStoresTheRecord) {
    card_->faults().path_busy_forever[1] = true;
    USHORT record[RECORD_BUFFER_WORDS] = {2, RID_NETWORK_MODE, 0};
    std::size_t mark = Mark();
    USHORT status = 0;
    Driver([&] { status = HwWriteRecord(a_, record); });
    EXPECT_EQ(status, HW_ERR_TIMEOUT);
    Trace t = Since(mark);
    EXPECT_EQ(t.Reads(REG_OFFSET1), 20001u) << "100 ms of polls";
    EXPECT_EQ(t.Writes(REG_DATA1), 0u);
    EXPECT_TRUE(t.Commands().empty());
    EXPECT_EQ(card_->RecordWrites(RID_NETWORK_MODE), 0u);
}

TEST_F(PathTest, FailedAccessReturnsItsResultAndReadsNothing) {
    card_->faults().record_result[RID_FD11] = 5;
    USHORT record[RECORD_BUFFER_WORDS] = {5, RID_FD11, 0xAAAA};
    std::size_t mark = Mark();
    USHORT status = 0;
    Driver([&] { status = HwReadRecord(a_, record); });
    EXPECT_EQ(status, 5);
    EXPECT_EQ(Since(mark).Reads(REG_DATA0), 0u);
    EXPECT_EQ(record[0], 5);
    EXPECT_EQ(record[1], RID_FD11);
    EXPECT_EQ(record[2], 0xAAAA) << "the buffer keeps its old data";
}

TEST_F(PathTest, LengthWordAllOnesTransfersNothing) {
    USHORT record[RECORD_BUFFER_WORDS] = {0xFFFF, RID_NETWORK_MODE};
    std::size_t mark = Mark();
    Driver([&] { EXPECT_EQ(HwReadRecord(a_, record), 0); });
    Trace t = Since(mark);
    EXPECT_EQ(t.Writes(REG_SELECT0), 1u);
    EXPECT_EQ(t.Writes(REG_OFFSET0), 1u);
    EXPECT_GE(t.Reads(REG_OFFSET0), 1u);
    EXPECT_EQ(t.Reads(REG_DATA0), 0u);
}

TEST_F(PathTest, LengthBeyondTheRecordImageIsRefusedBeforeTheControllerIsTouched) {
    USHORT record[RECORD_BUFFER_WORDS] = {RECORD_BUFFER_WORDS, RID_NETWORK_MODE};
    std::size_t mark = Mark();
    Driver([&] {
        EXPECT_EQ(HwReadRecord(a_, record), HW_ERR_TIMEOUT);
        EXPECT_EQ(HwWriteRecord(a_, record), HW_ERR_TIMEOUT);
    });
    EXPECT_TRUE(Since(mark).accesses.empty());
}

TEST_F(PathTest, ShortRecordYieldsZeroesAfterItsEnd) {
    USHORT record[RECORD_BUFFER_WORDS] = {4, RID_NETWORK_MODE, 0x1111, 0x2222, 0x3333};
    Driver([&] { EXPECT_EQ(HwReadRecord(a_, record), 0); });
    EXPECT_EQ(record[0], 2) << "the controller's own length word";
    EXPECT_EQ(record[2], 1);
    EXPECT_EQ(record[3], 0);
    EXPECT_EQ(record[4], 0);
}

TEST_F(PathTest, PathTransfersMoveFrameWords) {
    USHORT out[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    USHORT in[4] = {};
    Driver([&] {
        ASSERT_EQ(HwIssueCommandWithTimeout(a_, CMD_ALLOCATE, 1660), 0);
        ASSERT_EQ(HwEventWait(a_, EV_ALLOC, 100), 0);
        USHORT fid = HwReadReg(a_, REG_ALLOC_FID);
        HwAckEvents(a_, EV_ALLOC);
        EXPECT_EQ(HwBapWrite(a_, fid, out, 0, 4), 0);
        EXPECT_EQ(HwBapRead(a_, fid, in, 0, 4), 0);
    });
    EXPECT_EQ(std::vector<USHORT>(in, in + 4), std::vector<USHORT>(out, out + 4));
}

TEST(ByteRoutines, CountsFromZeroToTwoHundredFiftyFive) {
    UCHAR src[256];
    for (int i = 0; i < 256; ++i) src[i] = static_cast<UCHAR>(i);
    UCHAR dst[257];
    std::memset(dst, 0xEE, sizeof dst);
    CopyBytes(dst, src, 0);
    EXPECT_EQ(dst[0], 0xEE);
    CopyBytes(dst, src, 255);
    EXPECT_EQ(0, std::memcmp(dst, src, 255));
    EXPECT_EQ(dst[255], 0xEE);
    FillBytes(dst, 0x5A, 0);
    EXPECT_EQ(dst[0], 0);
    FillBytes(dst, 0x5A, 255);
    EXPECT_EQ(dst[254], 0x5A);
    EXPECT_EQ(dst[255], 0xEE);
}

}  // namespace
