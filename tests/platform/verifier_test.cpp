// The host as a driver verifier: a small miniport written here breaks one
// rule at a time, and the host must catch it with a clear message.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "card/controller.h"
#include "platform/hal.h"
#include "platform/host/host.h"
#include "platform/ndis.h"
#include "sim/scheduler.h"

namespace {

// The test miniport's state and the actions the current test plugs in.
struct Fake {
    NDIS_HANDLE handle = nullptr;
    NDIS_SPIN_LOCK lock{};
    NDIS_MINIPORT_TIMER timer{};
    NDIS_MINIPORT_INTERRUPT interrupt{};
    PVOID ports = nullptr;
    PNDIS_PACKET held[8] = {};
    int held_count = 0;
};

struct Script {
    std::function<NDIS_STATUS(NDIS_HANDLE handle, NDIS_HANDLE config)> init;
    std::function<void()> action;  // run inside a query request
    std::function<void(PPNDIS_PACKET, UINT)> send;
    std::function<void()> halt;
};

// A pool tag from its four characters, in memory order.
constexpr ULONG Tag(const char (&t)[5]) {
    return static_cast<ULONG>(t[0]) | static_cast<ULONG>(t[1]) << 8 | static_cast<ULONG>(t[2]) << 16 |
           static_cast<ULONG>(t[3]) << 24;
}

Script* g_script = nullptr;
Fake* g_fake = nullptr;

NDIS_STATUS FakeInitialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle, NDIS_HANDLE config) {
    *selected = 0;
    return g_script->init(handle, config);
}
VOID FakeHalt(NDIS_HANDLE) {
    if (g_script->halt) g_script->halt();
}
NDIS_STATUS FakeQuery(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG written, PULONG) {
    if (g_script->action) g_script->action();
    *written = 0;
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS FakeSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_INVALID_OID; }
NDIS_STATUS FakeReset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }
VOID FakeSendPackets(NDIS_HANDLE, PPNDIS_PACKET packets, UINT count) { g_script->send(packets, count); }

NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, driver, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c;
    std::memset(&c, 0, sizeof c);
    c.MajorNdisVersion = 4;
    c.InitializeHandler = FakeInitialize;
    c.HaltHandler = FakeHalt;
    c.QueryInformationHandler = FakeQuery;
    c.SetInformationHandler = FakeSet;
    c.ResetHandler = FakeReset;
    c.SendPacketsHandler = FakeSendPackets;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c);
}

class VerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_script = &script_;
        card_ = std::make_unique<card::Controller>(scheduler_);
        host_ = std::make_unique<host::Host>(scheduler_);
        host_->SetViolationHandler([](const host::Violation&) {});
        host_->AttachDevice(0x300, 64, card_.get(), 10);
        ASSERT_EQ(host_->LoadDriver(FakeDriverEntry), NDIS_STATUS_SUCCESS);
        adapter_ = host_->AddAdapter(host::AdapterSetup{});
        // A well-behaved default: allocate, register the ports, keep the state.
        script_.init = [this](NDIS_HANDLE handle, NDIS_HANDLE) {
            PVOID p;
            NdisAllocateMemoryWithTag(&p, sizeof(Fake), Tag("TEst"));
            std::memset(p, 0, sizeof(Fake));
            g_fake = static_cast<Fake*>(p);
            g_fake->handle = handle;
            NdisMSetAttributesEx(handle, g_fake, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceIsa);
            NDIS_STATUS s = NdisMRegisterIoPortRange(&g_fake->ports, handle, 0x300, 64);
            EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
            return NDIS_STATUS_SUCCESS;
        };
        script_.halt = [] { ReleaseAll(); };
        script_.send = [](PPNDIS_PACKET packets, UINT count) {
            for (UINT i = 0; i < count; ++i) NdisMSendComplete(g_fake->handle, packets[i], NDIS_STATUS_SUCCESS);
        };
    }
    void TearDown() override { g_script = nullptr; }

    static void ReleaseAll() {
        NdisMDeregisterIoPortRange(g_fake->handle, 0x300, 64, g_fake->ports);
        NdisFreeMemory(g_fake, sizeof(Fake), 0);
    }
    void Run(std::function<void()> action) {
        script_.action = std::move(action);
        host_->Query(adapter_, 1, 0);
        script_.action = nullptr;
    }
    // The violations of `rule`, with their messages.
    std::vector<std::string> Of(host::Rule rule) const {
        std::vector<std::string> out;
        for (const auto& v : host_->Violations()) {
            if (v.rule == rule) out.push_back(v.message);
        }
        return out;
    }
    void ExpectOnly(host::Rule rule, const std::string& fragment) {
        auto messages = Of(rule);
        ASSERT_FALSE(messages.empty()) << "expected a violation of: " << host::RuleName(rule);
        EXPECT_NE(messages[0].find(fragment), std::string::npos) << messages[0];
        for (const auto& v : host_->Violations()) {
            EXPECT_EQ(v.rule, rule) << "unexpected: " << host::RuleName(v.rule) << ": " << v.message;
        }
    }

    Script script_;
    sim::Scheduler scheduler_;
    std::unique_ptr<card::Controller> card_;
    std::unique_ptr<host::Host> host_;
    int adapter_ = -1;
};

TEST_F(VerifierTest, WellBehavedMiniportRaisesNothing) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] {
        NdisAcquireSpinLock(&g_fake->lock);
        READ_PORT_USHORT(reinterpret_cast<PUSHORT>(reinterpret_cast<ULONG_PTR>(g_fake->ports) + 0x30));
        NdisReleaseSpinLock(&g_fake->lock);
    });
    auto ids = host_->Send(adapter_, {host::Bytes(60, 1)});
    EXPECT_TRUE(host_->Packet(ids[0]).completed);
    host_->Halt(adapter_);
    EXPECT_TRUE(host_->Violations().empty()) << host_->Violations()[0].message;
}

TEST_F(VerifierTest, SpinLockAcquiredWhileHeld) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] {
        NdisAcquireSpinLock(&g_fake->lock);
        NdisAcquireSpinLock(&g_fake->lock);
        NdisReleaseSpinLock(&g_fake->lock);
    });
    ExpectOnly(host::Rule::kSpinLockRecursion, "deadlock");
}

TEST_F(VerifierTest, SpinLockStillHeldWhenTheHandlerReturns) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] { NdisAcquireSpinLock(&g_fake->lock); });
    ExpectOnly(host::Rule::kSpinLockHeldOnReturn, "MiniportQueryInformation");
}

TEST_F(VerifierTest, SpinLockOnStorageThatWasNeverZeroed) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] {
        PVOID p;
        NdisAllocateMemoryWithTag(&p, sizeof(NDIS_SPIN_LOCK), Tag("Lock"));
        auto* lock = static_cast<PNDIS_SPIN_LOCK>(p);  // pool memory is not zeroed
        NdisAcquireSpinLock(lock);
        NdisReleaseSpinLock(lock);
        NdisFreeMemory(p, sizeof(NDIS_SPIN_LOCK), 0);
    });
    ExpectOnly(host::Rule::kSpinLockUninitialized, "neither zeroed");
}

TEST_F(VerifierTest, LockHeldAcrossCallsIntoNdis) {
    struct Case {
        const char* call;
        std::function<void()> body;
    } cases[] = {
        {"NdisMIndicateStatus", [] { NdisMIndicateStatus(g_fake->handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0); }},
        {"NdisMEthIndicateReceive",
         [] {
             UCHAR header[14] = {}, data[46] = {};
             NdisMEthIndicateReceive(g_fake->handle, g_fake, header, 14, data, 46, 46);
         }},
        {"NdisMEthIndicateReceiveComplete", [] { NdisMEthIndicateReceiveComplete(g_fake->handle); }},
        {"NdisMSendComplete", [] { NdisMSendComplete(g_fake->handle, g_fake->held[--g_fake->held_count], NDIS_STATUS_SUCCESS); }},
    };
    script_.send = [](PPNDIS_PACKET packets, UINT count) {
        for (UINT i = 0; i < count; ++i) g_fake->held[g_fake->held_count++] = packets[i];
    };
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    host_->Send(adapter_, {host::Bytes(60, 1)});
    for (const Case& c : cases) {
        host_->ClearViolations();
        Run([&] {
            NdisAcquireSpinLock(&g_fake->lock);
            c.body();
            NdisReleaseSpinLock(&g_fake->lock);
        });
        ExpectOnly(host::Rule::kLockHeldAcrossCall, c.call);
    }
}

TEST_F(VerifierTest, PacketCompletedTwice) {
    script_.send = [](PPNDIS_PACKET packets, UINT) {
        NdisMSendComplete(g_fake->handle, packets[0], NDIS_STATUS_SUCCESS);
        NdisMSendComplete(g_fake->handle, packets[0], NDIS_STATUS_SUCCESS);
    };
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    auto ids = host_->Send(adapter_, {host::Bytes(60, 1)});
    EXPECT_EQ(host_->Packet(ids[0]).completions, 2);
    ExpectOnly(host::Rule::kPacketCompletedTwice, "completed again");
}

TEST_F(VerifierTest, PacketNeverCompleted) {
    script_.send = [](PPNDIS_PACKET packets, UINT count) {
        for (UINT i = 0; i < count; ++i) g_fake->held[g_fake->held_count++] = packets[i];
    };
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    host_->Send(adapter_, {host::Bytes(60, 1)});
    host_->Halt(adapter_);
    ExpectOnly(host::Rule::kPacketNeverCompleted, "never completed by MiniportHalt");
}

TEST_F(VerifierTest, PacketCompletedWhileStillQueued) {
    // Two packets chained through MiniportReserved; the second is completed
    // while the first still links to it.
    script_.send = [](PPNDIS_PACKET packets, UINT) {
        std::memcpy(packets[0]->MiniportReserved, &packets[1], sizeof(PNDIS_PACKET));
        NdisMSendComplete(g_fake->handle, packets[1], NDIS_STATUS_SUCCESS);
        PNDIS_PACKET none = nullptr;
        std::memcpy(packets[0]->MiniportReserved, &none, sizeof none);
        NdisMSendComplete(g_fake->handle, packets[0], NDIS_STATUS_SUCCESS);
    };
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    host_->Send(adapter_, {host::Bytes(60, 1), host::Bytes(60, 2)});
    ExpectOnly(host::Rule::kPacketCompletedWhileQueued, "still links to it");
}

TEST_F(VerifierTest, PacketTouchedAfterCompletion) {
    script_.send = [](PPNDIS_PACKET packets, UINT) {
        NdisMSendComplete(g_fake->handle, packets[0], NDIS_STATUS_SUCCESS);
        NDIS_SET_PACKET_STATUS(packets[0], NDIS_STATUS_PENDING);
    };
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    host_->Send(adapter_, {host::Bytes(60, 1)});
    ExpectOnly(host::Rule::kPacketUsedAfterCompletion, "completed packet");
}

TEST_F(VerifierTest, ResourcesStillHeldAfterHalt) {
    struct Case {
        const char* name;
        std::function<void()> acquire;  // at initialization, never released
        const char* message;
    } cases[] = {
        {"memory", [] { PVOID p; NdisAllocateMemoryWithTag(&p, 100, Tag("Leak")); }, "100 bytes of memory (tag Leak)"},
        {"timer",
         [] {
             NdisMInitializeTimer(&g_fake->timer, g_fake->handle, [](PVOID, PVOID, PVOID, PVOID) {}, nullptr);
             NdisMSetPeriodicTimer(&g_fake->timer, 1000);
         },
         "still armed"},
        {"interrupt",
         [] { NdisMRegisterInterrupt(&g_fake->interrupt, g_fake->handle, 10, 10, FALSE, TRUE, NdisInterruptLevelSensitive); },
         "interrupt on vector 10"},
        {"port range",
         [] {
             PVOID ports;
             NdisMRegisterIoPortRange(&ports, g_fake->handle, 0x340, 16);
         },
         "I/O port range 0x340"},
    };
    for (const Case& c : cases) {
        SetUp();
        auto init = script_.init;
        script_.init = [&](NDIS_HANDLE h, NDIS_HANDLE config) {
            NDIS_STATUS s = init(h, config);
            c.acquire();
            return s;
        };
        // Timers and interrupt objects live in the adapter's memory: keep it
        // so that only the resource under test is left behind.
        Fake* kept = nullptr;
        if (std::string(c.name) == "timer" || std::string(c.name) == "interrupt") {
            script_.halt = [&] {
                kept = g_fake;
                NdisMDeregisterIoPortRange(g_fake->handle, 0x300, 64, g_fake->ports);
            };
        }
        ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS) << c.name;
        host_->Halt(adapter_);
        auto leaks = Of(host::Rule::kResourceLeak);
        bool found = false;
        for (const auto& m : leaks) found = found || m.find(c.message) != std::string::npos;
        EXPECT_TRUE(found) << c.name << ": " << (leaks.empty() ? "no leak reported" : leaks[0]);
        (void)kept;
    }
}

TEST_F(VerifierTest, ResourcesStillHeldAfterAFailedInitialize) {
    script_.init = [](NDIS_HANDLE handle, NDIS_HANDLE config) {
        NDIS_STATUS s;
        NDIS_HANDLE configuration;
        NdisOpenConfiguration(&s, &configuration, config);
        PVOID p;
        NdisAllocateMemoryWithTag(&p, 64, Tag("Feil"));
        PVOID ports;
        NdisMRegisterIoPortRange(&ports, handle, 0x300, 64);
        return NDIS_STATUS_FAILURE;
    };
    EXPECT_EQ(host_->Initialize(adapter_), NDIS_STATUS_FAILURE);
    auto leaks = Of(host::Rule::kResourceLeak);
    ASSERT_EQ(leaks.size(), 3u);
    std::string all = leaks[0] + leaks[1] + leaks[2];
    EXPECT_NE(all.find("64 bytes of memory (tag Feil)"), std::string::npos) << all;
    EXPECT_NE(all.find("configuration handle"), std::string::npos) << all;
    EXPECT_NE(all.find("port range"), std::string::npos) << all;
    EXPECT_NE(all.find("failed MiniportInitialize"), std::string::npos) << all;
}

TEST_F(VerifierTest, PortOutsideAnyRegisteredRangeOrAfterDeregistration) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] {
        auto base = reinterpret_cast<ULONG_PTR>(g_fake->ports);
        READ_PORT_USHORT(reinterpret_cast<PUSHORT>(base + 64));  // one past the window
    });
    ExpectOnly(host::Rule::kPortOutsideRange, "READ_PORT_USHORT");
    host_->ClearViolations();
    Run([] {
        auto base = reinterpret_cast<ULONG_PTR>(g_fake->ports);
        NdisMDeregisterIoPortRange(g_fake->handle, 0x300, 64, g_fake->ports);
        WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(base + 0x32), 0);
        NdisMRegisterIoPortRange(&g_fake->ports, g_fake->handle, 0x300, 64);
    });
    ExpectOnly(host::Rule::kPortAfterDeregistration, "WRITE_PORT_USHORT");
}

TEST_F(VerifierTest, DeregisteringAnInterruptThatWasNeverRegistered) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] { NdisMDeregisterInterrupt(&g_fake->interrupt); });
    ExpectOnly(host::Rule::kInterruptMisuse, "never registered");
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsAnArmedTimer) {
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Run([] {
        NdisMInitializeTimer(&g_fake->timer, g_fake->handle, [](PVOID, PVOID, PVOID, PVOID) {}, nullptr);
        NdisMSetTimer(&g_fake->timer, 5);
    });
    host_->Halt(adapter_);
    ExpectOnly(host::Rule::kTimerMisuse, "is armed");
}

}  // namespace
