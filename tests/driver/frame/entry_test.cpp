// DriverEntry and the registered handler table.
#include <gtest/gtest.h>

#include "driver/mirelnd.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

using EntryTest = World;

TEST_F(EntryTest, RegistersTheNdis40HandlerTable) {
    Build();
    ASSERT_EQ(host_->LoadDriver(DriverEntry), NDIS_STATUS_SUCCESS);
    const NDIS_MINIPORT_CHARACTERISTICS& c = host_->Characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 4);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(host_->CharacteristicsLength(), sizeof(NDIS_MINIPORT_CHARACTERISTICS));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(host_->CharacteristicsLength(), 72u);
    }
    EXPECT_EQ(c.DisableInterruptHandler, &MiniportDisableInterrupt);
    EXPECT_EQ(c.EnableInterruptHandler, &MiniportEnableInterrupt);
    EXPECT_EQ(c.HaltHandler, &MiniportHalt);
    EXPECT_EQ(c.HandleInterruptHandler, &MiniportHandleInterrupt);
    EXPECT_EQ(c.InitializeHandler, &MiniportInitialize);
    EXPECT_EQ(c.ISRHandler, &MiniportISR);
    EXPECT_EQ(c.QueryInformationHandler, &MiniportQueryInformation);
    EXPECT_EQ(c.ResetHandler, &MiniportReset);
    EXPECT_EQ(c.SetInformationHandler, &MiniportSetInformation);
    EXPECT_EQ(c.TransferDataHandler, &MiniportTransferData);
    EXPECT_EQ(c.SendPacketsHandler, &MiniportSendPackets);
    // Exactly five slots are empty.
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.SendHandler, nullptr);
    EXPECT_EQ(c.ReturnPacketHandler, nullptr);
    EXPECT_EQ(c.AllocateCompleteHandler, nullptr);
    const auto* slots = reinterpret_cast<const void* const*>(&c.CheckForHangHandler);
    int empty = 0;
    for (int i = 0; i < 16; ++i) empty += slots[i] == nullptr ? 1 : 0;
    EXPECT_EQ(empty, 5);
    ASSERT_EQ(host_->WrapperCalls().size(), 1u);
    EXPECT_EQ(host_->WrapperCalls()[0].system_specific3, nullptr);
}

TEST_F(EntryTest, ReturnsTheRegistrationStatusUnchanged) {
    for (NDIS_STATUS status : {NDIS_STATUS_BAD_VERSION, NDIS_STATUS_RESOURCES, NDIS_STATUS_FAILURE}) {
        host_.reset();
        Build();
        host_->FailMiniportRegistration(status);
        EXPECT_EQ(host_->LoadDriver(DriverEntry), status);
        EXPECT_FALSE(host_->DriverRegistered());
    }
}

}  // namespace
