// The receive path: frames from the air or crafted descriptors, through the
// event loop, to the protocol's receive handler.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/datapath/datapath.h"
#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

const Bytes kKey40 = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E};

class ReceiveTest : public World {
  protected:
    // Connected to an access point; with `wep` both sides use host WEP with kKey40 at index 0.
    air::AccessPoint& Connect(bool wep = false) {
        air::PeerConfig ap;
        if (wep) {
            registry_.SetNumber("WepReq", 3).SetNumber("DefaultKeyId", 0).SetText("DefaultKeys", "0A1B2C3D4E" "1111111111" "2222222222" "3333333333");
            ap.privacy = true;
            ap.keys[0] = kKey40;
        }
        ap_ = &StartConnected(ap);
        host_->ClearIndications(adapter_);
        return *ap_;
    }
    wifi::Ethernet ToUs(std::uint16_t type, std::size_t payload, std::uint8_t fill = 0x30) {
        wifi::Ethernet e;
        e.destination = StationMac();
        e.source = ap_->config().address;
        e.type = type;
        for (std::size_t i = 0; i < payload; ++i) e.payload.push_back(static_cast<std::uint8_t>(fill + i));
        return e;
    }
    // A data frame from the access point with this body, as it would be on the air.
    Bytes FromAp(const Bytes& body, std::uint16_t extra_flags = 0, std::uint16_t sequence_control = 0x0100) {
        wifi::Header h;
        h.frame_control = static_cast<std::uint16_t>(wifi::FrameControl(wifi::kTypeData, 0, wifi::kFromDs) | extra_flags);
        h.addr1 = StationMac();
        h.addr2 = ap_->config().address;
        h.addr3 = ap_->config().address;
        h.sequence_control = sequence_control;
        return wifi::Build(h, body);
    }
    std::size_t Indications() const { return Indicated().size(); }
    void Settle() { RunFor(20'000); }
    std::size_t DataReads(std::size_t mark) const { return Since(mark).Reads(REG_DATA0); }

    air::AccessPoint* ap_ = nullptr;
};

TEST_F(ReceiveTest, SnapHeadersBecomeEthernetTypes) {
    Connect();
    Bytes payload(60, 0x77);
    struct Case {
        const char* name;
        Bytes body;
        std::uint16_t type;    // indicated type or length
        std::size_t length;    // indicated payload bytes
        bool keeps_snap;
    } cases[] = {
        {"RFC 1042, IPv4", wifi::Encapsulate(0x0800, payload), 0x0800, 60, false},
        {"RFC 1042, IPX stays 802.3", [&] { Bytes b = {0xAA, 0xAA, 0x03, 0, 0, 0, 0x81, 0x37}; b.insert(b.end(), payload.begin(), payload.end()); return b; }(),
         68, 68, true},
        {"bridge tunnel, IPv4", [&] { Bytes b = {0xAA, 0xAA, 0x03, 0, 0, 0xF8, 0x08, 0x00}; b.insert(b.end(), payload.begin(), payload.end()); return b; }(),
         0x0800, 60, false},
        {"bridge tunnel, IPX", wifi::Encapsulate(0x8137, payload), 0x8137, 60, false},
        {"plain LLC", Bytes(70, 0x42), 70, 70, false},
    };
    for (const Case& c : cases) {
        host_->ClearIndications(adapter_);
        ap_->SendRaw(FromAp(c.body));
        Settle();
        auto frames = Indicated();
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0].type, c.type) << c.name;
        EXPECT_EQ(frames[0].destination, StationMac()) << c.name;
        EXPECT_EQ(frames[0].source, ap_->config().address) << c.name;
        EXPECT_EQ(frames[0].payload.size(), c.length) << c.name;
        if (c.keeps_snap) {
            EXPECT_EQ(frames[0].payload[0], 0xAA) << c.name;
        }
    }
}

TEST_F(ReceiveTest, ShortPayloadIsPaddedToTheEthernetMinimum) {
    Connect();
    for (std::size_t size : {20, 45, 46, 47}) {
        host_->ClearIndications(adapter_);
        wifi::Ethernet e = ToUs(0x0800, size);
        ap_->SendEthernet(e);
        Settle();
        auto frames = Indicated();
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_EQ(frames[0].payload.size(), std::max<std::size_t>(size, 46)) << size;
        EXPECT_TRUE(std::equal(e.payload.begin(), e.payload.end(), frames[0].payload.begin())) << size;
        for (std::size_t i = size; i < 46; ++i) EXPECT_EQ(frames[0].payload[i], 0) << size << " at " << i;
    }
    EXPECT_EQ(A()->FramesReceivedOk, 4u);
    EXPECT_EQ(A()->BytesReceived, 60u + 60 + 60 + 61);
}

TEST_F(ReceiveTest, DataLengthsOutsideTheBufferAreDroppedUnread) {
    Connect();
    struct Case {
        std::uint16_t data_length;
        bool indicated;
    } cases[] = {{0, false}, {2305, false}, {2304, false}, {1601, false}, {1600, true}};
    for (const Case& c : cases) {
        host_->ClearIndications(adapter_);
        std::vector<std::uint8_t> buffer(60 + (c.indicated ? c.data_length : 0), 0);
        buffer[44] = static_cast<std::uint8_t>(c.data_length & 0xFF);
        buffer[45] = static_cast<std::uint8_t>(c.data_length >> 8);
        std::size_t mark = Mark();
        card_->InjectReceiveBuffer(buffer);
        Settle();
        EXPECT_EQ(Indications(), c.indicated ? 1u : 0u) << c.data_length;
        if (!c.indicated) {
            EXPECT_EQ(DataReads(mark), 30u) << c.data_length << ": only the descriptor is read";
        }
        EXPECT_EQ(card_->EventStatus() & EV_RX, 0) << "acknowledged either way";
    }
}

TEST_F(ReceiveTest, HostDecryptionChecksTheIcv) {
    Connect(true);
    wifi::Ethernet e = ToUs(0x0800, 100);
    ap_->SendEthernet(e);
    Settle();
    auto frames = Indicated();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, e.payload);
    // The same frame with one ciphertext bit flipped is dropped.
    Bytes body = wifi::WepEncrypt(kKey40, 0x000777, 0, wifi::Encapsulate(0x0800, e.payload));
    body[30] ^= 0x04;
    ULONG before = A()->FramesReceivedOk;
    ap_->SendRaw(FromAp(body, wifi::kProtected));
    Settle();
    EXPECT_EQ(Indications(), 1u);
    EXPECT_EQ(A()->FramesReceivedOk, before);
}

TEST_F(ReceiveTest, ProtectedFragmentsAreReassembledInTheHost) {
    Connect(true);
    struct Case {
        const char* name;
        wifi::Ethernet frame;
        std::size_t fragment;
    } cases[] = {
        {"IPv4 in three fragments", ToUs(0x0800, 300), 110},
        {"802.3 in three fragments", ToUs(250, 250), 100},
    };
    for (const Case& c : cases) {
        host_->ClearIndications(adapter_);
        ap_->SendFragmented(c.frame, c.fragment);
        Settle();
        auto frames = Indicated();
        ASSERT_EQ(frames.size(), 1u) << c.name << ": indicated once";
        EXPECT_EQ(frames[0].type, c.frame.type) << c.name << ": the length of an 802.3 frame is its reassembled length";
        EXPECT_EQ(frames[0].payload, c.frame.payload) << c.name;
    }
}

TEST_F(ReceiveTest, OrphanAndOversizedFragmentsAreDropped) {
    Connect(true);
    auto fragment = [&](const Bytes& plain, std::uint16_t number, bool more, std::uint16_t sequence) {
        Bytes body = wifi::WepEncrypt(kKey40, 0x000900u + number, 0, plain);
        std::uint16_t flags = static_cast<std::uint16_t>(wifi::kProtected | (more ? wifi::kMoreFragments : 0));
        return FromAp(body, flags, static_cast<std::uint16_t>(sequence << 4 | number));
    };
    // A continuation fragment with no first fragment before it.
    ap_->SendRaw(fragment(Bytes(100, 1), 1, false, 40));
    Settle();
    EXPECT_EQ(Indications(), 0u);
    // A frame that would outgrow the receive buffer is abandoned.
    Bytes first = wifi::Encapsulate(0x0800, Bytes(792, 2));
    ap_->SendRaw(fragment(first, 0, true, 41));
    ap_->SendRaw(fragment(Bytes(800, 3), 1, true, 41));
    ap_->SendRaw(fragment(Bytes(800, 4), 2, false, 41));
    Settle();
    EXPECT_EQ(Indications(), 0u);
    EXPECT_EQ(ReassemblyActive, 0);
    // Ordinary traffic goes on afterwards.
    ap_->SendEthernet(ToUs(0x0800, 64));
    Settle();
    EXPECT_EQ(Indications(), 1u);
}

TEST_F(ReceiveTest, EapSuccessIsNotedAndIndicated) {
    Connect();
    EXPECT_EQ(A()->EapolState, 0);
    ap_->SendEapSuccess(StationMac(), 7);
    Settle();
    EXPECT_EQ(A()->EapolState, 2);
    auto frames = Indicated();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 0x888E);
    EXPECT_EQ(frames[0].payload[4], 3);
    EXPECT_EQ(frames[0].payload[5], 7);
}

TEST_F(ReceiveTest, VendorFramesAreConsumed) {
    Connect();
    ULONG frames_before = A()->FramesReceivedOk;
    ULONG bytes_before = A()->BytesReceived;
    A()->VendorInfoReceived = 0;
    ap_->SendVendorInfo(StationMac());
    Settle();
    EXPECT_EQ(Indications(), 0u);
    EXPECT_EQ(A()->FramesReceivedOk, frames_before);
    EXPECT_EQ(A()->BytesReceived, bytes_before);
    EXPECT_EQ(A()->VendorInfoReceived, 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(A()->VendorString1), "MIREL-AP");
    EXPECT_STREQ(reinterpret_cast<const char*>(A()->VendorString3), "access point for the simulated air");
    EXPECT_EQ(A()->VendorByte4, 4);
    EXPECT_EQ(A()->VendorByte9, 9);
    EXPECT_EQ(A()->VendorBytes10[3], 13);
}

TEST_F(ReceiveTest, MonitorModeIndicatesRawFramesThroughItsFilter) {
    Connect();
    Driver([&] { EXPECT_EQ(CardEnterMonitorMode(A()), 0); });
    ASSERT_TRUE(card_->InMonitorMode());
    // All accept flags off: beacons and data are dropped.
    RunFor(500'000);
    EXPECT_EQ(Indications(), 0u);
    // Beacons only.
    A()->MonitorFilter[0] = 1;
    RunFor(250'000);
    auto indications = host_->Indications(adapter_);
    std::size_t beacons = 0;
    for (const auto& i : indications) {
        if (i.kind != host::Indication::Kind::kReceive) continue;
        ++beacons;
        // The lookahead starts at the 802.11 header, the body right behind it.
        // A beacon of "mirel-lab" has a 32-byte body: 24 + 32 + 14 = 70.
        EXPECT_EQ(i.lookahead[0], 0x80) << "frame control of a beacon";
        EXPECT_EQ(i.packet_size, 70u);
        EXPECT_EQ(i.lookahead.size(), 70u);
        EXPECT_TRUE(std::equal(ap_->config().address.begin(), ap_->config().address.end(), i.lookahead.begin() + 10));
        EXPECT_EQ(i.lookahead[24 + 8], 100) << "beacon interval after the timestamp";
        EXPECT_EQ(i.header.size(), 14u);
    }
    EXPECT_GE(beacons, 2u);
    // A BSSID filter for another network keeps even beacons out.
    host_->ClearIndications(adapter_);
    A()->MonitorFilter[6] = 1;
    std::memset(A()->MonitorFilter + 7, 0x66, 6);
    RunFor(300'000);
    EXPECT_EQ(Indications(), 0u);
    std::memcpy(A()->MonitorFilter + 7, ap_->config().address.data(), 6);
    RunFor(300'000);
    EXPECT_GE(Indications(), 2u);
    ULONG sent = A()->FramesSentOk;
    Driver([&] { EXPECT_EQ(CardLeaveMonitorMode(A()), 0); });
    EXPECT_FALSE(card_->InMonitorMode());
    EXPECT_EQ(A()->MonitorMode, 0);
    EXPECT_EQ(A()->FramesSentOk, 0u) << "the restart cleared the counters (was " << sent << ")";
}

TEST_F(ReceiveTest, TransferDataCopiesWhatIsBeyondTheLookahead) {
    Connect();
    A()->CurrentLookahead = 100;
    wifi::Ethernet e = ToUs(0x0800, 500);
    struct Result {
        host::TransferResult rest, tail, beyond, nothing;
        std::size_t lookahead = 0;
    } r;
    host_->SetReceiveHandler(adapter_, [&](host::ReceiveContext& rc) {
        r.lookahead = rc.lookahead().size();
        r.rest = rc.TransferData(100, 400, {150, 250});
        r.tail = rc.TransferData(450, 100);     // more than is left
        r.beyond = rc.TransferData(500, 10);    // nothing is left
        r.nothing = rc.TransferData(4000, 10);  // far past the data
    });
    ap_->SendEthernet(e);
    Settle();
    host_->SetReceiveHandler(adapter_, nullptr);
    EXPECT_EQ(r.lookahead, 100u);
    EXPECT_EQ(r.rest.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.rest.bytes_transferred, 400u);
    EXPECT_EQ(r.rest.data, Bytes(e.payload.begin() + 100, e.payload.end()));
    EXPECT_EQ(r.tail.bytes_transferred, 50u);
    EXPECT_EQ(r.tail.data, Bytes(e.payload.begin() + 450, e.payload.end()));
    EXPECT_EQ(r.beyond.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.beyond.bytes_transferred, 0u);
    EXPECT_EQ(r.nothing.bytes_transferred, 0u);
    // A packet whose buffers end early reports failure with what it could take.
    host::TransferResult short_chain = host_->TransferData(adapter_, A(), 0, 300, {100, 50});
    EXPECT_EQ(short_chain.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(short_chain.bytes_transferred, 150u);
}

TEST_F(ReceiveTest, LookaheadIsTheWholeFrameWhenShorterThanTheCurrentLookahead) {
    Connect();
    ap_->SendEthernet(ToUs(0x0800, 1500));
    ap_->SendEthernet(ToUs(0x0800, 300));
    Settle();
    auto indications = host_->Indications(adapter_);
    std::vector<std::pair<std::size_t, UINT>> seen;
    for (const auto& i : indications) {
        if (i.kind == host::Indication::Kind::kReceive) seen.emplace_back(i.lookahead.size(), i.packet_size);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, UINT>>{{1500, 1500}, {300, 300}}));
}

}  // namespace
