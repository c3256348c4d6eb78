// The transmit path: what the driver writes into the controller's transmit
// buffers, how packets wait for buffers, and how they are completed.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "driver/datapath/datapath.h"
#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

class TransmitTest : public World {
  protected:
    wifi::Ethernet Frame(std::uint16_t type, std::size_t payload, std::uint8_t fill = 0x5A) {
        wifi::Ethernet e = FrameToAp(type, payload, fill);
        for (std::size_t i = 0; i < payload; ++i) e.payload[i] = static_cast<std::uint8_t>(fill + i);
        return e;
    }
    static std::uint16_t BigEndian(const std::vector<std::uint8_t>& b, std::size_t at) {
        return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
    }
    static std::uint16_t Little(const std::vector<std::uint8_t>& b, std::size_t at) {
        return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
    }
    // Host WEP with four 40-bit keys and DefaultKeyId left unset; the access
    // point holds the first key.
    air::PeerConfig Wep40() {
        registry_.SetNumber("WepReq", 3).SetText("DefaultKeys", "0A1B2C3D4E" "1111111111" "2222222222" "3333333333");
        air::PeerConfig ap;
        ap.privacy = true;
        ap.keys[0] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E};
        ap.keys[3] = ap.keys[0];  // frames say key index 3 (see HostEncryptionCarriesIvAndIcv)
        return ap;
    }
    std::size_t Transmits() const {
        std::size_t n = 0;
        for (const auto& c : card_->Commands()) n += c.code == CMD_TRANSMIT ? 1 : 0;
        return n;
    }
    // Makes the event loop run once: the access point sends a frame to us.
    void Nudge(air::AccessPoint& ap) {
        std::size_t before = host_->ReceivedFrames(adapter_).size();
        ap.SendEthernet(net::ArpRequest(ap.config().address, ap.config().ip, {192, 168, 77, 99}));
        RunUntil([&] { return host_->ReceivedFrames(adapter_).size() > before; }, 100'000);
    }
};

TEST_F(TransmitTest, DataLayoutsInTheTransmitBuffer) {
    StartConnected();
    struct Case {
        const char* name;
        std::uint16_t type;
        std::size_t payload;
        std::vector<std::uint8_t> snap;  // empty: no SNAP header
    } cases[] = {
        {"Ethernet II", 0x0800, 100, {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00}},
        {"IPX", 0x8137, 64, {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8}},
        {"AppleTalk ARP", 0x80F3, 46, {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8}},
        {"802.3 length 1500", 1500, 1500, {}},
        {"802.3 short", 20, 46, {}},
    };
    for (const Case& c : cases) {
        RunUntil([&] { return A()->TxInFlight == 0 && A()->SendQueueCount == 0; }, 100'000);
        wifi::Ethernet e = Frame(c.type, c.payload);
        Bytes frame = wifi::BuildEthernet(e);
        Send(e);
        auto d = LastTransmitBuffer();
        ASSERT_GE(d.size(), 1660u) << c.name;
        EXPECT_EQ(Little(d, 12), 0x0006) << c.name;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(d[46 + i], frame[i]) << c.name << " address byte " << i;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(d[i], 0) << c.name << " status";
        if (c.snap.empty()) {
            EXPECT_EQ(BigEndian(d, 58), c.type) << c.name << ": the frame's own length field";
            EXPECT_TRUE(std::equal(frame.begin() + 14, frame.end(), d.begin() + 60)) << c.name;
        } else {
            EXPECT_EQ(BigEndian(d, 58), frame.size() - 6) << c.name;
            EXPECT_TRUE(std::equal(c.snap.begin(), c.snap.end(), d.begin() + 60)) << c.name;
            EXPECT_TRUE(std::equal(frame.begin() + 12, frame.end(), d.begin() + 66)) << c.name;
        }
    }
    RunFor(100'000);
}

TEST_F(TransmitTest, HostEncryptionCarriesIvAndIcv) {
    StartConnected(Wep40());
    struct Case {
        std::uint16_t type;
        std::size_t payload;
        std::size_t n;  // bytes after the descriptor
    } cases[] = {{0x0800, 200, 214 + 2}, {60, 60, 74 - 6}};
    for (const Case& c : cases) {
        RunUntil([&] { return A()->TxInFlight == 0 && A()->SendQueueCount == 0; }, 100'000);
        wifi::Ethernet e = Frame(c.type, c.payload);
        Bytes frame = wifi::BuildEthernet(e);
        Send(e);
        auto d = LastTransmitBuffer();
        EXPECT_EQ(Little(d, 12), 0x0006);
        EXPECT_EQ(BigEndian(d, 58), c.n) << "type " << c.type;
        Bytes body(d.begin() + 60, d.begin() + 60 + static_cast<std::ptrdiff_t>(c.n));
        // DefaultKeyId 255 (unset) puts key index 3 in the IV header while the
        // key itself comes from slot 0: a peer must hold that key at index 3.
        EXPECT_EQ(body[3], 0xC0) << "key byte of DefaultKeyId 255";
        std::array<Bytes, 4> keys;
        keys[3] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E};
        auto plain = wifi::WepDecrypt(keys, body);
        ASSERT_TRUE(plain.has_value()) << "the ICV must check out with an independent WEP";
        Bytes expected = c.type > 1500 ? wifi::Encapsulate(c.type, e.payload) : Bytes(frame.begin() + 14, frame.end());
        EXPECT_EQ(*plain, expected) << "type " << c.type;
    }
    RunFor(100'000);
}

TEST_F(TransmitTest, EapolGoesOutInTheClearWhileWepIsOn) {
    air::AccessPoint& peer = StartConnected(Wep40());
    struct Case {
        std::uint8_t packet_type;
        USHORT eapol_state;
    } cases[] = {{0 /* EAP packet */, 0}, {1 /* EAPOL-Start */, 1}, {2 /* Logoff */, 1}};
    for (const Case& c : cases) {
        RunUntil([&] { return A()->TxInFlight == 0 && A()->SendQueueCount == 0; }, 100'000);
        wifi::Ethernet e = Frame(0x888E, 4);
        e.payload = {0x01, c.packet_type, 0x00, 0x00};
        Send(e);
        auto d = LastTransmitBuffer();
        EXPECT_EQ(Little(d, 12), 0x0086);
        EXPECT_EQ(BigEndian(d, 58), 18 - 6);
        EXPECT_EQ(d[60], 0xAA) << "no IV header";
        EXPECT_EQ(A()->EapolState, c.eapol_state) << "packet type " << int(c.packet_type);
    }
    RunFor(100'000);
    std::size_t clear = 0;
    for (const auto& r : peer.Received()) clear += r.type == 0x888E ? 1 : 0;
    EXPECT_EQ(clear, 3u) << "the access point got all three in the clear";
}

TEST_F(TransmitTest, AtMostThreeBuffersAndOneFrameFromTheSendHandler) {
    air::AccessPoint& ap = StartConnected();
    card_->faults().hold_transmissions = true;
    std::size_t before = Transmits();
    std::vector<host::Bytes> frames;
    for (int i = 0; i < 5; ++i) frames.push_back(wifi::BuildEthernet(Frame(0x0800, 60, static_cast<std::uint8_t>(i))));
    auto ids = host_->Send(adapter_, frames);
    EXPECT_EQ(Transmits() - before, 1u) << "the send handler starts one frame at most";
    for (auto id : ids) EXPECT_EQ(host_->PacketStatusField(id), NDIS_STATUS_PENDING);
    Nudge(ap);  // an event loop run pumps the queue
    EXPECT_EQ(Transmits() - before, 3u) << "three buffers, all busy";
    EXPECT_EQ(A()->SendQueueCount, 2u);
    EXPECT_TRUE(host_->Packet(ids[0]).completed) << "a packet the controller took is completed at once";
    EXPECT_FALSE(host_->Packet(ids[3]).completed);
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    ASSERT_TRUE(RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 500'000));
    EXPECT_EQ(Transmits() - before, 5u);
    for (auto id : ids) EXPECT_EQ(host_->Packet(id).status, NDIS_STATUS_SUCCESS);
    RunFor(50'000);
    std::size_t got = 0;
    for (const auto& r : ap.Received()) got += r.type == 0x0800 ? 1 : 0;
    EXPECT_EQ(got, 5u);
}

TEST_F(TransmitTest, AtMostFourFramesInFlight) {
    StartConnected();
    card_->faults().hold_tx_status = true;  // buffers come back, the results do not
    std::size_t before = Transmits();
    std::vector<host::Bytes> frames;
    for (int i = 0; i < 6; ++i) frames.push_back(wifi::BuildEthernet(Frame(0x0800, 60, static_cast<std::uint8_t>(i))));
    host_->Send(adapter_, frames);
    RunFor(50'000);
    EXPECT_EQ(Transmits() - before, 4u);
    EXPECT_EQ(A()->TxInFlight, 4u);
    EXPECT_EQ(A()->SendQueueCount, 2u);
    card_->faults().hold_tx_status = false;
    card_->ReleaseHeldTransmissions();
    ASSERT_TRUE(RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 500'000));
    EXPECT_EQ(Transmits() - before, 6u);
    RunFor(50'000);
    EXPECT_EQ(A()->TxInFlight, 0u);
}

TEST_F(TransmitTest, AllocationEventReturnsEveryBufferSentBeforeTheNamedOne) {
    air::AccessPoint& ap = StartConnected();
    card_->faults().hold_transmissions = true;
    std::vector<host::Bytes> frames;
    for (int i = 0; i < 5; ++i) frames.push_back(wifi::BuildEthernet(Frame(0x0800, 60, static_cast<std::uint8_t>(i))));
    host_->Send(adapter_, frames);
    Nudge(ap);
    auto fids = card_->TransmittedFids();
    ASSERT_GE(fids.size(), 3u);
    std::vector<std::uint16_t> busy(fids.end() - 3, fids.end());
    EXPECT_EQ(A()->TxFreeCount, 0);
    // The controller hands back the second busy buffer: the first comes with
    // it. Three frames are still in flight, so the pump sends one more (the
    // fourth in flight) in the first returned buffer, and the other waits.
    card_->RaiseAllocEvent(busy[1]);
    RunFor(10'000);
    auto after = card_->TransmittedFids();
    ASSERT_EQ(after.size(), fids.size() + 1);
    EXPECT_EQ(after.back(), busy[0]);
    EXPECT_EQ(A()->TxFreeCount, 1) << "the second returned buffer is free";
    EXPECT_EQ(reinterpret_cast<PTX_BUFFER_ENTRY>(A()->TxFreeList.Flink)->FrameId, busy[1]);
    EXPECT_EQ(A()->TxInFlight, 4u);
    EXPECT_EQ(A()->SendQueueCount, 1u);
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 500'000);
    RunFor(50'000);
}

TEST_F(TransmitTest, FailedPathWriteLeavesThePacketAtTheHeadForTheNextPump) {
    air::AccessPoint& ap = StartConnected();
    card_->faults().path_busy_forever[1] = true;
    auto first = Send(Frame(0x0800, 60, 0x11));
    EXPECT_FALSE(host_->Packet(first).completed);
    EXPECT_EQ(A()->SendQueueCount, 1u);
    EXPECT_EQ(A()->SendErrors, 1u);
    EXPECT_EQ(A()->TxFreeCount, 3) << "the buffer went back to the free list";
    card_->faults().path_busy_forever[1] = false;
    auto second = Send(Frame(0x0800, 60, 0x22));
    ASSERT_TRUE(RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 500'000));
    EXPECT_EQ(host_->Packet(first).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host_->Packet(second).status, NDIS_STATUS_SUCCESS);
    RunFor(50'000);
    std::vector<std::uint8_t> order;
    for (const auto& r : ap.Received()) {
        if (r.type == 0x0800) order.push_back(r.payload[0]);
    }
    EXPECT_EQ(order, (std::vector<std::uint8_t>{0x11, 0x22})) << "sent in queue order";
}

TEST_F(TransmitTest, PacketsThatCanNeverBeSentFailWithoutHoldingUpTheRest) {
    air::AccessPoint& ap = StartConnected();
    // Too long for Ethernet, in three buffers; then one with no buffers; then a good one.
    host::Bytes jumbo = wifi::BuildEthernet(Frame(0x0800, 1515 - 14));
    auto jumbo_id = host_->Send(adapter_, {jumbo}, {{500, 500, 515}})[0];
    auto empty_id = host_->SendEmptyPacket(adapter_);
    auto good = Send(Frame(0x0800, 60, 0x33));
    EXPECT_EQ(host_->Packet(jumbo_id).status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(host_->Packet(empty_id).status, NDIS_STATUS_FAILURE);
    ASSERT_TRUE(RunUntil([&] { return host_->Packet(good).completed; }, 500'000));
    EXPECT_EQ(host_->Packet(good).status, NDIS_STATUS_SUCCESS);
    RunFor(50'000);
    std::size_t got = 0;
    for (const auto& r : ap.Received()) got += r.type == 0x0800 ? 1 : 0;
    EXPECT_EQ(got, 1u);
    // A frame of exactly 1514 bytes still goes.
    auto max = Send(Frame(0x0800, 1500));
    ASSERT_TRUE(RunUntil([&] { return host_->Packet(max).completed; }, 500'000));
    EXPECT_EQ(host_->Packet(max).status, NDIS_STATUS_SUCCESS);
    RunFor(50'000);
    EXPECT_EQ(ap.Received().back().payload.size(), 1500u);
}

TEST_F(TransmitTest, WhenNothingCanBeSentPacketsCompleteAtOnce) {
    StartConnected();
    struct Case {
        const char* name;
        std::function<void()> arrange;
        NDIS_STATUS status;
        bool mask_rewritten;
    } cases[] = {
        {"medium disconnected", [&] { A()->MediaDisconnected = 1; }, NDIS_STATUS_SUCCESS, true},
        {"monitor mode", [&] { A()->MonitorMode = 1; }, NDIS_STATUS_FAILURE, true},
        {"card gone", [&] { card_->PokeSwSupport0(0); }, NDIS_STATUS_FAILURE, false},
    };
    for (const Case& c : cases) {
        c.arrange();
        std::size_t before = Transmits();
        std::size_t mark = Mark();
        auto ids = host_->Send(adapter_, {wifi::BuildEthernet(Frame(0x0800, 60)), wifi::BuildEthernet(Frame(0x0800, 60))});
        for (auto id : ids) EXPECT_EQ(host_->Packet(id).status, c.status) << c.name;
        EXPECT_EQ(Transmits(), before) << c.name;
        auto masks = Since(mark).WritesTo(REG_INT_ENABLE);
        if (c.mask_rewritten) {
            EXPECT_EQ(masks, (std::vector<std::uint16_t>{0, INT_ENABLE_MASK})) << c.name;
        } else {
            EXPECT_TRUE(masks.empty()) << c.name;
        }
        A()->MediaDisconnected = 0;
        A()->MonitorMode = 0;
        card_->PokeSwSupport0(CARD_SIGNATURE);
    }
}

TEST_F(TransmitTest, SendingFromInsideAReceiveIndicationOnlyQueues) {
    air::AccessPoint& ap = StartConnected();
    std::size_t queued_during = 99;
    std::size_t transmits_during = 0;
    host_->SetReceiveHandler(adapter_, [&](host::ReceiveContext& rc) {
        std::size_t before = Transmits();
        rc.Send({wifi::BuildEthernet(Frame(0x0800, 60, 0x44))});
        transmits_during = Transmits() - before;
        queued_during = A()->SendQueueCount;
    });
    Nudge(ap);
    host_->SetReceiveHandler(adapter_, nullptr);
    EXPECT_EQ(transmits_during, 0u);
    EXPECT_EQ(queued_during, 1u);
    ASSERT_TRUE(RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 200'000));
    RunFor(50'000);
    EXPECT_EQ(ap.Received().back().payload[0], 0x44) << "it went out with the event loop's pump";
}

TEST_F(TransmitTest, CountersFollowTheControllersResults) {
    StartConnected();
    ULONG ok = A()->FramesSentOk;
    card_->faults().fail_transmissions = 2;
    for (int i = 0; i < 3; ++i) Send(Frame(0x0800, 100));
    RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0 && A()->TxInFlight == 0; }, 500'000);
    EXPECT_EQ(A()->FramesSentOk - ok, 1u);
    EXPECT_EQ(A()->SendErrors, 2u) << "two EV_TX_EXC";
    EXPECT_EQ(A()->BytesSent % 114, 0u);
}

}  // namespace
