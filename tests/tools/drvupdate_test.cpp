// drvupdate's core run against the simulated system: the command line, the
// device match, the messages of each path and the calls behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/drvupdate/sim/simulated_system.h"
#include "tools/drvupdate/updater.h"
#include "tools/drvupdate/winapp.h"

namespace {

using drvupdate::BOOL;
using drvupdate::CommandLine;
using drvupdate::CommandLineStatus;
using drvupdate::DriverUpdateApp;
using drvupdate::ParseCommandLine;
using drvupdate::sim::Device;
using drvupdate::sim::SimulatedSystem;
using Messages = std::vector<std::string>;

const char kInf[] = "C:\\drivers\\mirelnd.inf";
const char kHardwareId[] = "PCMCIA\\MIREL-WLAN11B-7D37";
const char kInstanceId[] = "PCMCIA\\MIREL-WLAN11B-7D37\\1";

// The debugger output of the start: every argument and a line feed, then the
// INF path immediately followed by "2\n".
Messages Start(const std::vector<std::string>& arguments, const std::string& infPath) {
    Messages messages;
    for (const std::string& argument : arguments) {
        messages.push_back(argument);
        messages.push_back("\n");
    }
    messages.push_back(infPath);
    messages.push_back("2\n");
    return messages;
}

Messages Concat(Messages head, const Messages& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Runs the program as the entry point does (argv[0] is the program name)
// against a simulated system; returns the exit status.
int RunProgram(SimulatedSystem& system, const std::vector<std::string>& arguments) {
    DriverUpdateApp app(system);
    std::vector<const char*> argv{"drvupdate.exe"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return drvupdate::RunApplication(static_cast<int>(arguments.size() + 1), argv.data());
}

// The calls were used as the system expects and no device set was left open.
void ExpectCleanUse(const SimulatedSystem& system, const std::string& context = "") {
    EXPECT_EQ(system.Misuse(), std::vector<std::string>{}) << context;
    EXPECT_EQ(system.OpenSets(), 0) << context << ": a device set was not destroyed";
}

// The instance identifier the search reported, or "" when none.
std::string Found(const SimulatedSystem& system) {
    const Messages& all = system.DebugOutput();
    for (std::size_t i = 0; i + 1 < all.size(); i++) {
        if (all[i] == "Found:") return all[i + 1];
    }
    return "";
}

// One simulated system per test, run with the usual INF path and hardware
// identifier unless a test says otherwise.
class DrvUpdateTest : public ::testing::Test {
protected:
    void TearDown() override { ExpectCleanUse(system_); }

    int Run(const std::vector<std::string>& arguments) { return RunProgram(system_, arguments); }
    int Run() { return Run({kInf, kHardwareId}); }

    // The messages after the start of a run with the usual arguments.
    Messages Tail() const {
        const Messages& all = system_.DebugOutput();
        const Messages start = Start({kInf, kHardwareId}, kInf);
        EXPECT_GE(all.size(), start.size());
        if (all.size() < start.size()) return all;
        EXPECT_EQ(Messages(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(start.size())), start);
        return Messages(all.begin() + static_cast<std::ptrdiff_t>(start.size()), all.end());
    }

    SimulatedSystem system_;
};

// --- the command line -------------------------------------------------------------

TEST(CommandLineTest, PathIsEverythingBeforeTheLastArgumentJoinedBySingleSpaces) {
    struct Case {
        std::vector<const char*> arguments;
        const char* infPath;
        const char* hardwareId;
    } cases[] = {
        {{"C:\\Program", "Files\\x\\net.inf", "PCMCIA\\ABC-1234"}, "C:\\Program Files\\x\\net.inf", "PCMCIA\\ABC-1234"},
        {{"C:\\net.inf", "PCMCIA\\ABC-1234"}, "C:\\net.inf", "PCMCIA\\ABC-1234"},
        // One argument that already holds spaces is taken unchanged.
        {{"C:\\Program Files\\x\\net.inf", "hw"}, "C:\\Program Files\\x\\net.inf", "hw"},
        {{"a", "b", "c", "d", "hw"}, "a b c d", "hw"},
        // Empty parts and the spaces inside parts are kept as they are.
        {{"C:\\x", "", "y.inf", "hw"}, "C:\\x  y.inf", "hw"},
        {{"C:\\a ", " b.inf", "hw"}, "C:\\a   b.inf", "hw"},
        {{"", "hw"}, "", "hw"},
        {{"x.inf", ""}, "x.inf", ""},
    };
    for (const Case& c : cases) {
        CommandLine line;
        ASSERT_EQ(ParseCommandLine(c.arguments, &line), CommandLineStatus::kOk) << c.infPath;
        EXPECT_STREQ(line.infPath, c.infPath);
        EXPECT_STREQ(line.hardwareId, c.hardwareId);
        EXPECT_EQ(line.hardwareIdLength, std::strlen(c.hardwareId));
    }
}

TEST(CommandLineTest, FewerThanTwoArgumentsAreRefused) {
    CommandLine line;
    EXPECT_EQ(ParseCommandLine(std::vector<const char*>{}, &line), CommandLineStatus::kTooFewArguments);
    EXPECT_EQ(ParseCommandLine(std::vector<const char*>{"x.inf"}, &line), CommandLineStatus::kTooFewArguments);
}

// The buffers hold 255 characters and a zero. Longer values are refused and
// nothing is written, so no cut value can reach the system.
TEST(CommandLineTest, ValuesUpTo255CharactersAreTakenLongerOnesRefusedWithoutWriting) {
    const std::string a255(255, 'a'), a256(256, 'a'), a127(127, 'a'), a128(128, 'a'), huge(100000, 'h');
    struct Case {
        std::vector<const char*> arguments;
        CommandLineStatus status;
    } cases[] = {
        {{a255.c_str(), "hw"}, CommandLineStatus::kOk},
        {{a127.c_str(), a127.c_str(), "hw"}, CommandLineStatus::kOk},  // 127 + space + 127
        {{"hw.inf", a255.c_str()}, CommandLineStatus::kOk},
        {{a256.c_str(), "hw"}, CommandLineStatus::kInfPathTooLong},
        {{a128.c_str(), a127.c_str(), "hw"}, CommandLineStatus::kInfPathTooLong},  // the space makes 256
        {{a127.c_str(), "", a127.c_str(), "hw"}, CommandLineStatus::kInfPathTooLong},
        {{huge.c_str(), "x", "hw"}, CommandLineStatus::kInfPathTooLong},
        {{"x", huge.c_str(), "hw"}, CommandLineStatus::kInfPathTooLong},
        {{"hw.inf", a256.c_str()}, CommandLineStatus::kHardwareIdTooLong},
        {{a256.c_str(), a256.c_str()}, CommandLineStatus::kInfPathTooLong},
    };
    for (std::size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        CommandLine line;
        std::memset(&line, 0x5A, sizeof(line));
        ASSERT_EQ(ParseCommandLine(c.arguments, &line), c.status) << "case " << i;
        if (c.status != CommandLineStatus::kOk) {
            CommandLine untouched;
            std::memset(&untouched, 0x5A, sizeof(untouched));
            EXPECT_EQ(std::memcmp(&line, &untouched, sizeof(line)), 0) << "case " << i << ": refused but written";
            continue;
        }
        std::string expected = c.arguments[0];
        for (std::size_t k = 1; k + 1 < c.arguments.size(); k++) expected += std::string(" ") + c.arguments[k];
        EXPECT_EQ(std::string(line.infPath), expected) << "case " << i;
        EXPECT_STREQ(line.hardwareId, c.arguments.back()) << "case " << i;
    }
}

// --- the comparison ---------------------------------------------------------------

TEST(EqualIgnoringCaseTest, FoldsOnlyAsciiLettersAndStopsAtCountOrEnd) {
    struct Case {
        const char* a;
        const char* b;
        std::size_t count;
        bool equal;
    } cases[] = {
        {"pcmcia\\abc-123", "PCMCIA\\ABC-1234", 14, true},
        {"PCMCIA\\ABC-1239\\1", "pcmcia\\abc-1234", 14, true},  // differs only past the count
        {"anything", "else", 0, true},
        {"abc", "abcd", 4, false},  // one string ends inside the count
        {"abcd", "abc", 4, false},
        {"abc", "ABC", 100, true},  // both end: equal, however large the count
        {"", "", 5, true},
        {"", "x", 1, false},
        // Characters 0x20 apart that are not letters stay different.
        {"[", "{", 1, false},
        {"@", "`", 1, false},
        {"]", "}", 1, false},
        {"\xC4", "\xE4", 1, false},  // no folding outside ASCII
        {"Z", "z", 1, true},
        {"A", "a", 1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(drvupdate::EqualIgnoringCase(c.a, c.b, c.count), c.equal)
            << "\"" << c.a << "\" vs \"" << c.b << "\" count " << c.count;
    }
}

// --- the device search ------------------------------------------------------------

TEST(DeviceSearchTest, MatchIgnoresCaseAndTheLastCharacterOfTheHardwareId) {
    struct Case {
        const char* hardwareId;
        std::vector<Device> devices;
        const char* found;  // "" when no device is found
    } cases[] = {
        {"PCMCIA\\ABC-1234", {{"ROOT\\LEGACY\\0000"}, {"pcmcia\\abc-123x\\7"}}, "pcmcia\\abc-123x\\7"},
        {"pcmcia\\abc-1234", {{"PCMCIA\\ABC-1234\\1"}}, "PCMCIA\\ABC-1234\\1"},
        // Exactly the compared length.
        {"PCMCIA\\ABC-1234", {{"PCMCIA\\ABC-123"}}, "PCMCIA\\ABC-123"},
        // Shorter than the compared length: no match.
        {"PCMCIA\\ABC-1234", {{"PCMCIA\\ABC-12"}}, ""},
        {"PCMCIA\\ABC-1234", {{"USB\\ABC-1234\\1"}, {"PCMCIA\\ABD-1234\\1"}}, ""},
        // Only the first matching device is reported.
        {"PCMCIA\\ABC-1234", {{"PCMCIA\\ABC-1234\\2"}, {"PCMCIA\\ABC-1234\\1"}}, "PCMCIA\\ABC-1234\\2"},
        // One character: nothing is compared, the first readable device matches.
        {"Q", {{"ROOT\\LEGACY\\0000"}, {"PCMCIA\\ABC-1234\\1"}}, "ROOT\\LEGACY\\0000"},
        {"Q", {{"ROOT\\UNREADABLE\\0000", false}, {"PCI\\VEN_1\\3"}}, "PCI\\VEN_1\\3"},
        {"Q", {}, ""},
        // Empty: nothing matches, not even an empty instance identifier.
        {"", {{""}, {"ROOT\\LEGACY\\0000"}}, ""},
    };
    for (const Case& c : cases) {
        SimulatedSystem system;
        system.devices = c.devices;
        const std::string hardwareId = c.hardwareId;
        const bool found = drvupdate::FindDevice(system, hardwareId.c_str(), hardwareId.size());
        EXPECT_EQ(found, std::string(c.found) != "") << c.hardwareId;
        Messages expected;
        if (found) expected = {"Found:", c.found};
        EXPECT_EQ(system.DebugOutput(), expected) << c.hardwareId;
        ExpectCleanUse(system, c.hardwareId);
    }
}

TEST_F(DrvUpdateTest, SearchWalksTheSetOfAllPresentDevicesAndReleasesIt) {
    system_.devices = {{"ROOT\\LEGACY\\0000"}, {"ACPI\\PNP0A03\\0", false}, {kInstanceId}, {"PCMCIA\\OTHER\\1"}};
    EXPECT_TRUE(drvupdate::FindDevice(system_, kHardwareId, std::strlen(kHardwareId)));
    const std::string size = std::to_string(sizeof(drvupdate::DeviceInfoData));
    EXPECT_EQ(system_.Calls(),
              (std::vector<std::string>{
                  "SetupDiGetClassDevsA(class=null, enumerator=null, window=null, flags=0x6) -> set 1",
                  "SetupDiEnumDeviceInfo(set=1, index=0, cbSize=" + size + ") -> 1",
                  "SetupDiGetDeviceInstanceIdA(set=1, member=1, size=255, required=null) -> 1",
                  "SetupDiEnumDeviceInfo(set=1, index=1, cbSize=" + size + ") -> 1",
                  "SetupDiGetDeviceInstanceIdA(set=1, member=2, size=255, required=null) -> 0",
                  "SetupDiEnumDeviceInfo(set=1, index=2, cbSize=" + size + ") -> 1",
                  "SetupDiGetDeviceInstanceIdA(set=1, member=3, size=255, required=null) -> 1",
                  "OutputDebugStringA: Found:",
                  std::string("OutputDebugStringA: ") + kInstanceId,
                  "SetupDiDestroyDeviceInfoList(set=1) -> 1",
              }));
}

TEST_F(DrvUpdateTest, SearchWithoutMatchWalksToTheEndOfTheSet) {
    system_.devices = {{"ROOT\\LEGACY\\0000"}, {"PCI\\VEN_1\\3"}};
    EXPECT_FALSE(drvupdate::FindDevice(system_, kHardwareId, std::strlen(kHardwareId)));
    EXPECT_EQ(system_.CallsTo("SetupDiEnumDeviceInfo").size(), 3u) << "two members and the failing third";
    EXPECT_EQ(system_.CallsTo("SetupDiGetDeviceInstanceIdA").size(), 2u);
    EXPECT_EQ(system_.CallsTo("SetupDiDestroyDeviceInfoList"),
              (std::vector<std::string>{"SetupDiDestroyDeviceInfoList(set=1) -> 1"}));
    EXPECT_EQ(system_.DebugOutput(), Messages{});
}

// Members the search cannot use are skipped without a message: an
// identifier the system will not give, or one too long for the 255-character
// buffer. The longest one that fits (254 characters and the zero) is read.
TEST(DeviceSearchTest, UnreadableMembersAreSkipped) {
    const std::string tooLong = std::string(kHardwareId) + "\\" + std::string(255, '9');
    const std::string longest = std::string(kHardwareId) + "\\" + std::string(254 - std::strlen(kHardwareId) - 1, '8');
    ASSERT_EQ(longest.size(), 254u);
    struct Case {
        std::vector<Device> devices;
        std::string found;
    } cases[] = {
        {{{kInstanceId, false}, {"PCMCIA\\MIREL-WLAN11B-7D37\\2"}}, "PCMCIA\\MIREL-WLAN11B-7D37\\2"},
        {{{kInstanceId, false}}, ""},
        {{{tooLong}, {kInstanceId}}, kInstanceId},
        {{{longest}, {kInstanceId}}, longest},
    };
    for (const Case& c : cases) {
        SimulatedSystem system;
        system.devices = c.devices;
        const bool found = drvupdate::FindDevice(system, kHardwareId, std::strlen(kHardwareId));
        EXPECT_EQ(found, !c.found.empty());
        Messages expected;
        if (found) expected = {"Found:", c.found};
        EXPECT_EQ(system.DebugOutput(), expected);
        ExpectCleanUse(system);
    }
}

// A set that cannot be had finds nothing and is not released; an
// enumeration that fails part-way ends the walk there. Neither writes a
// message of its own: the program goes on as with no device.
TEST(DeviceSearchTest, EnumerationFailuresCountAsNoDevice) {
    {
        SimulatedSystem system;
        system.devices = {{kInstanceId}};
        system.classDevsFail = true;
        EXPECT_FALSE(drvupdate::FindDevice(system, kHardwareId, std::strlen(kHardwareId)));
        EXPECT_EQ(system.Calls(),
                  (std::vector<std::string>{"SetupDiGetClassDevsA(class=null, enumerator=null, window=null, "
                                            "flags=0x6) -> INVALID_HANDLE_VALUE"}));
        ExpectCleanUse(system);
    }
    {
        SimulatedSystem system;
        system.devices = {{"ROOT\\LEGACY\\0000"}, {"PCI\\VEN_1\\3"}, {kInstanceId}};
        system.enumerationFailsAt = 1;
        EXPECT_FALSE(drvupdate::FindDevice(system, kHardwareId, std::strlen(kHardwareId)));
        EXPECT_EQ(system.CallsTo("SetupDiEnumDeviceInfo").size(), 2u);
        EXPECT_EQ(system.CallsTo("SetupDiDestroyDeviceInfoList").size(), 1u);
        EXPECT_EQ(system.DebugOutput(), Messages{});
        ExpectCleanUse(system);
    }
}

TEST_F(DrvUpdateTest, ProgramGoesOnToStagingWhenTheDeviceSetCannotBeHad) {
    system_.devices = {{kInstanceId}};
    system_.classDevsFail = true;
    EXPECT_EQ(Run(), drvupdate::kExitDone);
    EXPECT_EQ(Tail(), (Messages{"There is No Adapter\n", "\n", kInf, " was copied to ", "C:\\WINDOWS\\INF\\oem7.inf",
                                "\n"}));
}

// --- the whole program ------------------------------------------------------------

TEST_F(DrvUpdateTest, ArgumentsArePrintedThenThePathFollowedBy2) {
    const std::vector<std::string> arguments{"C:\\Program", "Files\\x\\net.inf", "PCMCIA\\ABC-1234"};
    Run(arguments);
    EXPECT_EQ(system_.DebugText(),
              "C:\\Program\nFiles\\x\\net.inf\nPCMCIA\\ABC-1234\nC:\\Program Files\\x\\net.inf2\n"
              "There is No Adapter\n\nC:\\Program Files\\x\\net.inf was copied to C:\\WINDOWS\\INF\\oem7.inf\n");
    const Messages start = Start(arguments, "C:\\Program Files\\x\\net.inf");
    const Messages& output = system_.DebugOutput();
    ASSERT_GE(output.size(), start.size());
    EXPECT_EQ(Messages(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(start.size())), start)
        << "one message per argument, per line feed, for the path and for \"2\\n\"";
    EXPECT_EQ(system_.Calls().front(), "GetVersionExA(size=148) -> 1") << "the version is taken first";
}

// Each path's messages, in order, and the exit status that goes with it.
TEST(ProgramTest, MessagesOfEachPath) {
    const char* staged = "C:\\WINDOWS\\INF\\oem12.inf";
    struct Case {
        const char* name;
        bool present;
        BOOL updateSucceeds;
        BOOL reboot;
        drvupdate::DWORD platform;
        BOOL copySucceeds;
        Messages tail;
        int exitStatus;
    } cases[] = {
        {"updated", true, TRUE, FALSE, drvupdate::kVerPlatformWin32Nt, TRUE,
         {"Found:", kInstanceId, "\nUpdating driver...\n", "Update driver Success...\n"}, drvupdate::kExitDone},
        {"updated, restart needed", true, TRUE, TRUE, drvupdate::kVerPlatformWin32Nt, TRUE,
         {"Found:", kInstanceId, "\nUpdating driver...\n", "Update driver Success...\n", "Reboot Required...\n"},
         drvupdate::kExitDone},
        {"update failed", true, FALSE, TRUE, drvupdate::kVerPlatformWin32Nt, TRUE,
         {"Found:", kInstanceId, "\nUpdating driver...\n", "Update driver Failed...\n"},
         drvupdate::kExitUpdateFailed},
        {"updated on another platform", true, TRUE, FALSE, drvupdate::kVerPlatformWin32Windows, TRUE,
         {"Found:", kInstanceId, "\nUpdating driver...\n", "Update driver Success...\n"}, drvupdate::kExitDone},
        {"staged", false, TRUE, FALSE, drvupdate::kVerPlatformWin32Nt, TRUE,
         {"There is No Adapter\n", "\n", kInf, " was copied to ", staged, "\n"}, drvupdate::kExitDone},
        {"staging failed", false, TRUE, FALSE, drvupdate::kVerPlatformWin32Nt, FALSE,
         {"There is No Adapter\n", "Fail to copy the inf\n"}, drvupdate::kExitStagingFailed},
        {"no device on another platform", false, TRUE, FALSE, drvupdate::kVerPlatformWin32Windows, TRUE,
         {"There is No Adapter\n"}, drvupdate::kExitDone},
        {"no device on Win32s", false, TRUE, FALSE, drvupdate::kVerPlatformWin32s, FALSE,
         {"There is No Adapter\n"}, drvupdate::kExitDone},
    };
    for (const Case& c : cases) {
        SimulatedSystem system;
        system.devices = {{"ROOT\\LEGACY\\0000"}};
        if (c.present) system.devices.push_back({kInstanceId});
        system.updateSucceeds = c.updateSucceeds;
        system.updateNeedsReboot = c.reboot;
        system.platformId = c.platform;
        system.copySucceeds = c.copySucceeds;
        system.stagedName = staged;
        EXPECT_EQ(RunProgram(system, {kInf, kHardwareId}), c.exitStatus) << c.name;
        EXPECT_EQ(system.DebugOutput(), Concat(Start({kInf, kHardwareId}, kInf), c.tail)) << c.name;
        ExpectCleanUse(system, c.name);
        // Staging is tried only when no device was found on an NT system,
        // the update only when one was found.
        EXPECT_EQ(system.CallsTo("SetupCopyOEMInfA").size(),
                  !c.present && c.platform == drvupdate::kVerPlatformWin32Nt ? 1u : 0u)
            << c.name;
        EXPECT_EQ(system.CallsTo("UpdateDriverForPlugAndPlayDevicesA").size(), c.present ? 1u : 0u) << c.name;
    }
}

TEST_F(DrvUpdateTest, UpdateIsForcedForTheHardwareIdFromTheJoinedPathWithAClearRebootFlag) {
    system_.devices = {{"pcmcia\\mirel-wlan11b-7d37\\1"}};
    EXPECT_EQ(Run({"C:\\Program", "Files\\Mirel\\mirelnd.inf", kHardwareId}), drvupdate::kExitDone);
    const std::vector<std::string>& calls = system_.Calls();
    auto at = [&](const std::string& call) {
        for (std::size_t i = 0; i < calls.size(); i++) {
            if (calls[i] == call) return static_cast<long>(i);
        }
        ADD_FAILURE() << "no call " << call;
        return -1L;
    };
    const std::string update = std::string("UpdateDriverForPlugAndPlayDevicesA(window=null, hardwareId=\"") +
                               kHardwareId + "\", infPath=\"C:\\Program Files\\Mirel\\mirelnd.inf\", flags=0x1, " +
                               "reboot=ptr) -> 1";
    // The set is released before the update, and the update is announced
    // right before it is made.
    EXPECT_LT(at("SetupDiDestroyDeviceInfoList(set=1) -> 1"), at("OutputDebugStringA: \nUpdating driver...\n"));
    EXPECT_EQ(at("OutputDebugStringA: \nUpdating driver...\n") + 1, at(update));
    EXPECT_EQ(at(update) + 1, at("OutputDebugStringA: Update driver Success...\n"));
    ASSERT_TRUE(system_.RebootFlagOnEntry().has_value());
    EXPECT_EQ(*system_.RebootFlagOnEntry(), FALSE);
}

TEST_F(DrvUpdateTest, StagingCopiesThePathIntoTheSystemsNameBuffer) {
    system_.stagedName = "C:\\WINDOWS\\INF\\oem3.inf";
    EXPECT_EQ(Run(), drvupdate::kExitDone);
    const std::string copy = std::string("SetupCopyOEMInfA(source=\"") + kInf +
                             "\", media=null, mediaType=1, copyStyle=0x0, size=255, required=null, "
                             "component=null) -> 1";
    const std::vector<std::string>& calls = system_.Calls();
    ASSERT_GE(calls.size(), 7u);
    EXPECT_EQ((std::vector<std::string>(calls.end() - 7, calls.end())),
              (std::vector<std::string>{"OutputDebugStringA: There is No Adapter\n", copy, "OutputDebugStringA: \n",
                                        std::string("OutputDebugStringA: ") + kInf,
                                        "OutputDebugStringA:  was copied to ",
                                        "OutputDebugStringA: C:\\WINDOWS\\INF\\oem3.inf", "OutputDebugStringA: \n"}));
}

// The longest name the system can give (254 characters and the zero) is
// reported whole; a longer one does not fit the buffer and the system
// reports a failure.
TEST_F(DrvUpdateTest, StagedNameUpToTheBufferIsReportedWhole) {
    const std::string longest = "C:\\" + std::string(251, 'n');
    system_.stagedName = longest;
    EXPECT_EQ(Run(), drvupdate::kExitDone);
    EXPECT_EQ(Tail(), (Messages{"There is No Adapter\n", "\n", kInf, " was copied to ", longest, "\n"}));

    SimulatedSystem system;
    system.stagedName = longest + "x";
    EXPECT_EQ(RunProgram(system, {kInf, kHardwareId}), drvupdate::kExitStagingFailed);
    EXPECT_EQ(system.DebugOutput().back(), "Fail to copy the inf\n");
    ExpectCleanUse(system);
}

TEST_F(DrvUpdateTest, VersionThatCannotBeReadIsNotTakenForNt) {
    system_.versionFails = true;
    EXPECT_EQ(Run(), drvupdate::kExitDone);
    EXPECT_EQ(Tail(), Messages{"There is No Adapter\n"});
    EXPECT_EQ(system_.CallsTo("SetupCopyOEMInfA"), std::vector<std::string>{});
}

// --- the decisions left open ------------------------------------------------------

// Fewer than two arguments: the arguments are written as usual, then a usage
// line, and the program ends with status 1 without looking for devices.
TEST(ProgramTest, FewerThanTwoArgumentsEndAfterTheArgumentsWithUsageStatus) {
    struct Case {
        std::vector<std::string> arguments;
        Messages output;
    } cases[] = {
        {{}, {"Usage: drvupdate inf-path hardware-id\n"}},
        {{"C:\\x\\mirelnd.inf"}, {"C:\\x\\mirelnd.inf", "\n", "Usage: drvupdate inf-path hardware-id\n"}},
    };
    for (const Case& c : cases) {
        SimulatedSystem system;
        system.devices = {{kInstanceId}};
        EXPECT_EQ(RunProgram(system, c.arguments), drvupdate::kExitUsage);
        EXPECT_EQ(system.DebugOutput(), c.output);
        EXPECT_EQ(system.CallsTo("SetupDiGetClassDevsA"), std::vector<std::string>{});
        EXPECT_EQ(system.CallsTo("SetupCopyOEMInfA"), std::vector<std::string>{});
        ExpectCleanUse(system);
    }
}

// An INF path or hardware identifier over 255 characters is refused: the
// arguments are written whole, then the reason; no device is looked for and
// nothing is staged.
TEST(ProgramTest, OverlongArgumentsAreRefusedWithUsageStatus) {
    const std::string path256 = "C:\\" + std::string(249, 'p') + ".inf";
    const std::string id256 = "PCMCIA\\" + std::string(249, 'I');
    ASSERT_EQ(path256.size(), 256u);
    ASSERT_EQ(id256.size(), 256u);
    struct Case {
        std::vector<std::string> arguments;
        const char* reason;
    } cases[] = {
        {{path256, kHardwareId}, "The INF path is longer than 255 characters\n"},
        {{path256.substr(0, 100), path256.substr(101), kHardwareId}, "The INF path is longer than 255 characters\n"},
        {{kInf, id256}, "The hardware ID is longer than 255 characters\n"},
    };
    for (const Case& c : cases) {
        SimulatedSystem system;
        system.devices = {{kInstanceId}};
        Messages expected;
        for (const std::string& argument : c.arguments) {
            expected.push_back(argument);
            expected.push_back("\n");
        }
        expected.push_back(c.reason);
        EXPECT_EQ(RunProgram(system, c.arguments), drvupdate::kExitUsage);
        EXPECT_EQ(system.DebugOutput(), expected);
        EXPECT_EQ(system.CallsTo("SetupDiGetClassDevsA"), std::vector<std::string>{});
        EXPECT_EQ(system.CallsTo("SetupCopyOEMInfA"), std::vector<std::string>{});
        ExpectCleanUse(system);
    }
}

// 255 characters are used whole, for the match and for the calls.
TEST_F(DrvUpdateTest, ArgumentsOf255CharactersAreUsedWhole) {
    const std::string path255 = "C:\\" + std::string(248, 'p') + ".inf";
    const std::string id255 = "PCMCIA\\" + std::string(248, 'I');
    ASSERT_EQ(path255.size(), 255u);
    ASSERT_EQ(id255.size(), 255u);
    // An instance identifier holds at most 254 characters: the compared
    // part of a 255-character hardware identifier, all of which counts.
    const std::string decoy = id255.substr(0, 253) + "J";
    const std::string match = id255.substr(0, 253) + "i";
    system_.devices = {{kInstanceId}, {decoy}, {match}};
    EXPECT_EQ(Run({path255, id255}), drvupdate::kExitDone);
    EXPECT_EQ(Found(system_), match);
    EXPECT_EQ(system_.CallsTo("UpdateDriverForPlugAndPlayDevicesA"),
              (std::vector<std::string>{"UpdateDriverForPlugAndPlayDevicesA(window=null, hardwareId=\"" + id255 +
                                        "\", infPath=\"" + path255 + "\", flags=0x1, reboot=ptr) -> 1"}));
}

// --- the application framework ----------------------------------------------------

class RecordingApp : public drvupdate::CWinApp {
public:
    explicit RecordingApp(BOOL result) : result_(result) {}
    BOOL InitInstance() override {
        steps.push_back("InitInstance");
        for (int i = 0; i < ArgumentCount(); i++) arguments.push_back(Argument(i));
        exit_code_ = 7;
        return result_;
    }
    int Run() override {
        steps.push_back("Run");
        return CWinApp::Run();
    }
    int ExitInstance() override {
        steps.push_back("ExitInstance");
        return CWinApp::ExitInstance();
    }
    std::vector<std::string> steps;
    std::vector<std::string> arguments;

private:
    BOOL result_;
};

TEST(ApplicationFrameworkTest, InitInstanceFalseEndsTheProgramWithExitInstancesStatus) {
    RecordingApp app(FALSE);
    const char* argv[] = {"drvupdate.exe", "a", "b", nullptr};
    EXPECT_EQ(drvupdate::RunApplication(3, argv), 7);
    EXPECT_EQ(app.steps, (std::vector<std::string>{"InitInstance", "ExitInstance"}));
    EXPECT_EQ(app.arguments, (std::vector<std::string>{"a", "b"})) << "the program name is not an argument";
}

TEST(ApplicationFrameworkTest, InitInstanceTrueRunsAndEndsWithoutAMessageLoop) {
    RecordingApp app(TRUE);
    const char* argv[] = {"drvupdate.exe", nullptr};
    EXPECT_EQ(drvupdate::RunApplication(1, argv), 7);
    EXPECT_EQ(app.steps, (std::vector<std::string>{"InitInstance", "Run", "ExitInstance"}));
    EXPECT_EQ(app.arguments, std::vector<std::string>{});
}

TEST(ApplicationFrameworkTest, TheFirstObjectIsTheApplicationAndNoObjectMeansNoProgram) {
    const char* argv[] = {"drvupdate.exe", nullptr};
    EXPECT_EQ(drvupdate::GetApplication(), nullptr);
    EXPECT_EQ(drvupdate::RunApplication(1, argv), drvupdate::kNoApplication);
    {
        RecordingApp first(FALSE);
        RecordingApp second(FALSE);
        EXPECT_EQ(drvupdate::GetApplication(), &first);
        drvupdate::RunApplication(1, argv);
        EXPECT_EQ(first.steps.size(), 2u);
        EXPECT_EQ(second.steps.size(), 0u);
    }
    EXPECT_EQ(drvupdate::GetApplication(), nullptr);
}

}  // namespace
