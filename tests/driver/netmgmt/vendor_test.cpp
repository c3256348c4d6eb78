// The vendor management protocol: the frames the driver sends to its access
// point and the parsing of the answers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "driver/netmgmt/netmgmt.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

class ParseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a_ = std::make_unique<ADAPTER>();
        std::memset(a_.get(), 0, sizeof(ADAPTER));
    }
    void Parse(const Bytes& body) { ParseVendorFrame(a_.get(), body.data(), static_cast<USHORT>(body.size())); }
    static Bytes Body(std::uint8_t count, const std::vector<Bytes>& elements, std::uint8_t klass = 0) {
        Bytes b = {klass, 2, count, 0};
        for (const Bytes& e : elements) b.insert(b.end(), e.begin(), e.end());
        return b;
    }
    std::unique_ptr<ADAPTER> a_;
};

TEST_F(ParseTest, ElementsFillTheirFields) {
    Parse(Body(5, {{1, 4, 'a', 'b', 'c', 0}, {4, 1, 0x44}, {9, 1, 0x99}, {10, 3, 1, 2, 3}, {3, 2, 'z', 0}}));
    EXPECT_EQ(a_->VendorInfoReceived, 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(a_->VendorString1), "abc");
    EXPECT_STREQ(reinterpret_cast<const char*>(a_->VendorString3), "z");
    EXPECT_EQ(a_->VendorByte4, 0x44);
    EXPECT_EQ(a_->VendorByte9, 0x99);
    EXPECT_EQ(a_->VendorBytes10[0], 1);
    EXPECT_EQ(a_->VendorBytes10[2], 3);
    EXPECT_EQ(a_->VendorBytes10[3], 0);
}

TEST_F(ParseTest, ClassOtherThanZeroIsIgnored) {
    Parse(Body(1, {{4, 1, 0x44}}, 1));
    EXPECT_EQ(a_->VendorInfoReceived, 0);
    EXPECT_EQ(a_->VendorByte4, 0);
}

TEST_F(ParseTest, ElementTenOfLengthFiveIsSkippedButTheWalkGoesOn) {
    Parse(Body(2, {{10, 5, 1, 2, 3, 4, 5}, {5, 1, 0x55}}));
    EXPECT_EQ(a_->VendorBytes10[0], 0);
    EXPECT_EQ(a_->VendorByte5, 0x55);
}

TEST_F(ParseTest, OnlyTheFirstTenElementsAreExamined) {
    std::vector<Bytes> elements;
    for (int i = 0; i < 15; ++i) elements.push_back({static_cast<std::uint8_t>(i < 10 ? 20 : 4), 1, static_cast<std::uint8_t>(i)});
    Parse(Body(15, elements));
    EXPECT_EQ(a_->VendorByte4, 0) << "element 11 onwards is never looked at";
}

TEST_F(ParseTest, StringsNeverOutgrowTheirFieldOrTheFrame) {
    // 40 characters for a 32-byte field, and no zero byte at all.
    Bytes long_text(40, 'L');
    Bytes element = {2, 40};
    element.insert(element.end(), long_text.begin(), long_text.end());
    Parse(Body(1, {element}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a_->VendorString2), 32), std::string(32, 'L'));
    EXPECT_EQ(a_->VendorString3[0], 0) << "the next field is untouched";
    // A string cut off by the end of the frame stops there and is terminated.
    std::memset(a_->VendorString1, 'x', sizeof a_->VendorString1);
    Parse(Body(1, {{1, 9, 'e', 'n', 'd'}}));
    EXPECT_STREQ(reinterpret_cast<const char*>(a_->VendorString1), "end");
    // An element header that the frame cannot hold ends the walk.
    Parse(Body(3, {{6, 1, 0x66}, {7}}));
    EXPECT_EQ(a_->VendorByte6, 0x66);
    EXPECT_EQ(a_->VendorByte7, 0);
    // A value byte missing at the very end is not read.
    Parse(Body(1, {{8, 1}}));
    EXPECT_EQ(a_->VendorByte8, 0);
    // Too short to hold even the element count.
    a_->VendorInfoReceived = 0;
    Parse(Bytes{0, 2});
    EXPECT_EQ(a_->VendorInfoReceived, 1);
}

class VendorTest : public World {};

TEST_F(VendorTest, EveryConnectionSendsTheRequest) {
    air::AccessPoint& ap = StartConnected();
    ASSERT_EQ(ap.VendorRequests(), 1u);
    const wifi::Ethernet* request = nullptr;
    for (const auto& e : ap.Received()) {
        if (e.type == 0x81AE) request = &e;
    }
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->destination, ap.config().address) << "to the joined BSSID";
    EXPECT_EQ(request->source, StationMac());
    EXPECT_EQ(request->payload, (Bytes{0x00, 0x01, 0x0A, 0x00, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10, 0}));
    // The access point answered; the answer filled the vendor fields.
    EXPECT_EQ(A()->VendorInfoReceived, 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(A()->VendorString2), "Lab 3");
}

TEST_F(VendorTest, RequestWithEveryBufferBusyIsSkippedQuietly) {
    StartConnected();
    card_->faults().hold_transmissions = true;
    for (int i = 0; i < 3; ++i) Send(FrameToAp(0x0800, 50, 1));
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        EXPECT_TRUE(SendVendorRequest(A()) != 0);
        NdisReleaseSpinLock(&A()->Lock);
    });
    EXPECT_EQ(A()->VendorEncap, 0);
    EXPECT_EQ(card_->TransmittedFids().size(), 4u) << "the request after connecting and three frames; no more";
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 500'000);
    RunFor(50'000);
}

TEST_F(VendorTest, ReportWaitsUntilTheSendQueueWasFoundEmptyOnce) {
    air::AccessPoint& ap = StartConnected();
    for (int i = 0; i < 34; ++i) A()->VendorUserData[i] = static_cast<UCHAR>(0x40 + i);
    A()->VendorUserData[43] = 0x77;
    A()->SendQueueDrained = 0;  // as after a restart
    std::size_t before = ap.Received().size();
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        EXPECT_TRUE(SendVendorReport(A()) != 0);
        NdisReleaseSpinLock(&A()->Lock);
    });
    RunFor(20'000);
    EXPECT_EQ(ap.Received().size(), before) << "not due yet";
    // The queue is found empty once: here after a packet without buffers is
    // failed. (A packet that is sent normally leaves the queue without it
    // being looked at empty.)
    host_->SendEmptyPacket(adapter_);
    EXPECT_EQ(A()->SendQueueDrained, 1);
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        EXPECT_TRUE(SendVendorReport(A()) != 0);
        NdisReleaseSpinLock(&A()->Lock);
    });
    RunFor(20'000);
    const wifi::Ethernet& report = ap.Received().back();
    ASSERT_EQ(report.type, 0x81AE);
    Bytes expected;
    for (int i = 0; i < 34; ++i) expected.push_back(static_cast<std::uint8_t>(0x40 + i));
    Bytes tail = {13, 4, 3, 7, 8, 0, 14, 1, 0x77};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(report.payload, expected);
}

}  // namespace
