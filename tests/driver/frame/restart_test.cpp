// Card restart and the configuration push.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "driver/frame/frame.h"
#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

class RestartTest : public World {
  protected:
    // The record reads ("R FC01") and writes ("W FC00") of the last restart's push.
    std::vector<std::string> PushOf(std::size_t mark) {
        std::vector<std::string> out;
        bool in_push = false;
        for (const auto& c : Since(mark).Commands()) {
            if (c.code == CMD_INIT) in_push = true;
            if (c.code == CMD_ALLOCATE) break;
            if (!in_push || c.params.empty()) continue;
            char buf[16];
            if (c.code == CMD_ACCESS) std::snprintf(buf, sizeof buf, "R %04X", c.params[0].second);
            if (c.code == CMD_ACCESS_WRITE) std::snprintf(buf, sizeof buf, "W %04X", c.params[0].second);
            if (c.code == CMD_ACCESS || c.code == CMD_ACCESS_WRITE) out.push_back(buf);
        }
        return out;
    }
    USHORT Restart() {
        USHORT status = 0xFFFF;
        Driver([&] { status = CardRestart(A()); });
        return status;
    }
};

TEST_F(RestartTest, InitializationPushesTheConfigurationInItsFixedOrder) {
    struct Case {
        const char* name;
        std::function<void(host::Registry&)> registry;
        std::vector<std::string> push;
    };
    std::vector<std::string> base = {"R FC01", "W FC00", "W FC02", "W FC04", "R FD10", "R FD11", "R FD01",
                                     "R FD02", "R FD20", "W FC03", "W FC06", "W FC09", "W FC0A", "W FC0E",
                                     "W FC28", "W FC23", "W FC24", "W FC25", "W FC26", "W FC27", "W FC2A",
                                     "W FC82", "W FC83", "W FC84", "W FCB0", "W FCE0"};
    std::vector<std::string> with_address = base;
    with_address.insert(with_address.begin() + 1, "W FC01");
    std::vector<std::string> mode3 = base;
    mode3.insert(mode3.begin() + 24, "W FCB3");
    // Initialization reads RID_FD0D right after the push, in every mode.
    for (auto* push : {&base, &with_address, &mode3}) push->push_back("R FD0D");
    Case cases[] = {
        {"defaults", [](host::Registry&) {}, base},
        {"network address", [](host::Registry& r) { r.SetNetworkAddress("02AABBCCDDEE"); }, with_address},
        {"network mode 3", [](host::Registry& r) { r.SetNumber("NetworkMode", 3); }, mode3},
    };
    for (const Case& c : cases) {
        Reset();
        registry_ = host::Registry();
        registry_.SetText("IoBaseAddress", "300").SetText("InterruptNumber", "10");
        c.registry(registry_);
        adapter_ = -1;
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS) << c.name;
        EXPECT_EQ(PushOf(0), c.push) << c.name;
        // A restart pushes the same, and the address in use is always written:
        // the first push made it a copy of the factory address.
        std::size_t mark = Mark();
        EXPECT_EQ(Restart(), 0) << c.name;
        std::vector<std::string> restart = c.push;
        if (restart.back() == "R FD0D") restart.pop_back();
        if (restart[1] != "W FC01") restart.insert(restart.begin() + 1, "W FC01");
        EXPECT_EQ(PushOf(mark), restart) << c.name;
        Halt();
    }
}

TEST_F(RestartTest, InfrastructureChannelComesFromTheFactoryAddress) {
    struct Case {
        std::uint8_t byte4, byte5;
        ULONG channel;
    } cases[] = {{0x00, 0x0C, 13}, {0x00, 0x0D, 1}, {0x01, 0x00, 10}, {0xFF, 0xFF, 3}};
    for (const Case& c : cases) {
        Reset();
        config_.factory_mac = {0x00, 0x60, 0xB3, 0x00, c.byte4, c.byte5};
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(A()->Channel, c.channel) << std::hex << int(c.byte4) << int(c.byte5);
        EXPECT_EQ((*card_->Record(RID_OWN_CHANNEL))[2], c.channel);
        Halt();
    }
}

TEST_F(RestartTest, AddressesAfterThePush) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(A()->CurrentAddress, A()->PermanentAddress, 6)) << "no address configured";
    EXPECT_EQ(0, std::memcmp(A()->PermanentAddress, config_.factory_mac.data(), 6));
    EXPECT_EQ(card_->RecordWrites(RID_MAC_ADDRESS), 0u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(A()->CurrentBssid[i], 0xFF) << "until a connection";
    Halt();
    registry_.SetNetworkAddress("02AABBCCDDEE");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->StationAddress(), (card::MacAddress{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
    EXPECT_EQ(0, std::memcmp(A()->PermanentAddress, config_.factory_mac.data(), 6));
}

TEST_F(RestartTest, SubstitutesForRecordsTheControllerWillNotGive) {
    struct Case {
        const char* name;
        std::function<void(card::Controller&)> arrange;
        USHORT mask;
        ULONG fd11;
    } cases[] = {
        {"firmware values", [](card::Controller&) {}, 0x07FF, 0x10},
        {"all channels", [](card::Controller& c) { c.SetRecord(RID_CHANNEL_MASK, {2, RID_CHANNEL_MASK, 0xFFFF}); }, 0x3FFF, 0x10},
        {"refused", [](card::Controller& c) {
             c.faults().record_result[RID_CHANNEL_MASK] = 2;
             c.faults().record_result[RID_FD11] = 2;
         }, 0x1FFF, 0x30},
    };
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    for (const Case& c : cases) {
        card_->faults() = card::Faults{};
        std::size_t mark = Mark();
        Driver([&] {
            HwResetController(A());
            c.arrange(*card_);
            CardApplyConfiguration(A());
        });
        (void)mark;
        EXPECT_EQ(A()->ChannelMask, c.mask) << c.name;
        EXPECT_EQ(A()->Fd11Code, c.fd11) << c.name;
    }
    card_->faults() = card::Faults{};
    EXPECT_EQ(Restart(), 0);
}

TEST_F(RestartTest, WaitingPacketsFailAndTakenPacketsSucceed) {
    StartConnected();
    card_->faults().hold_transmissions = true;
    std::vector<host::Bytes> frames(5, wifi::BuildEthernet(FrameToAp(0x0800, 80, 0x12)));
    auto ids = host_->Send(adapter_, frames);
    // One frame went to the controller from the send handler; no event loop
    // has run since, so it waits in SendDone; four wait in the queue.
    EXPECT_EQ(A()->SendQueueCount, 4u);
    ASSERT_NE(A()->SendDoneHead, nullptr);
    card_->faults().hold_transmissions = false;
    EXPECT_EQ(Restart(), 0);
    EXPECT_EQ(host_->Packet(ids[0]).status, NDIS_STATUS_SUCCESS);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(host_->Packet(ids[static_cast<std::size_t>(i)]).status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(A()->SendErrors, 0u) << "the counters are reset after the completions";
    EXPECT_EQ(A()->SendQueueDrained, 0);
    EXPECT_EQ(A()->TxFreeCount, 3);
    EXPECT_EQ(card_->InterruptMask(), INT_ENABLE_MASK);
    EXPECT_TRUE(card_->PortEnabled());
}

TEST_F(RestartTest, ModeThreeReportsTheMediumConnectedOnEveryRestart) {
    registry_.SetNumber("NetworkMode", 3).SetText("ESSID", "solo");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(host_->StatusIndications(adapter_).empty()) << "initialization tells NDIS nothing";
    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(Restart(), 0);
        auto statuses = host_->StatusIndications(adapter_);
        EXPECT_EQ(statuses, std::vector<NDIS_STATUS>(static_cast<std::size_t>(round), NDIS_STATUS_MEDIA_CONNECT));
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->CurrentSsid), A()->CurrentSsidLength), "solo");
}

TEST_F(RestartTest, LeavingMonitorModeRestartsEvenWhenTheControllerRefuses) {
    StartConnected();
    Driver([&] { EXPECT_EQ(CardEnterMonitorMode(A()), 0); });
    EXPECT_EQ(A()->MonitorMode, 1);
    card_->faults().command_result[0x0F38] = 0x05;
    std::size_t mark = Mark();
    USHORT status = 0;
    Driver([&] { status = CardLeaveMonitorMode(A()); });
    EXPECT_EQ(status, 0x05);
    auto commands = Since(mark).Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0].code, 0x0F38);
    EXPECT_EQ(commands[1].code, CMD_INIT) << "the restart followed";
    EXPECT_EQ(A()->MonitorMode, 0);
}

TEST_F(RestartTest, EnteringMonitorModeThatFailsRestartsTheCard) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    card_->faults().command_result[0x0B38] = 0x07;
    std::size_t mark = Mark();
    USHORT status = 0;
    Driver([&] { status = CardEnterMonitorMode(A()); });
    EXPECT_EQ(status, 0x07);
    EXPECT_EQ(A()->MonitorMode, 0);
    EXPECT_EQ(Since(mark).Commands()[1].code, CMD_INIT);
}

TEST_F(RestartTest, RestoringTheNetworkAfterASurveyOnOlderFirmware) {
    config_.newer_firmware = false;
    registry_.SetText("ESSID", "home").SetNumber("NetworkMode", 0);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        StartAnySurvey(A());
        NdisReleaseSpinLock(&A()->Lock);
    });
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "ANY");
    EXPECT_EQ(A()->NetworkMode, 1u);
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "") << "any network";
    std::size_t mark = Mark();
    USHORT status = 0xFFFF;
    Driver([&] { status = CardRestoreNetwork(A()); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "home");
    EXPECT_EQ(A()->NetworkMode, 0u);
    auto commands = Since(mark).Commands();
    EXPECT_EQ(commands[0].code, CMD_DISABLE) << "older firmware: the port is disabled first";
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "home");
}

TEST_F(RestartTest, RestartThatGetsNoBuffersReportsIt) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    card_->faults().no_alloc_event = true;
    EXPECT_EQ(Restart(), HW_ERR_TIMEOUT);
    EXPECT_EQ(card_->InterruptMask(), 0) << "events stay masked";
    card_->faults().no_alloc_event = false;
    EXPECT_EQ(Restart(), 0);
}

}  // namespace
