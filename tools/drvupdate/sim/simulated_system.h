// A scripted stand-in for the operating system, for running drvupdate's core
// on Linux. It behaves like the real calls where the program can tell the
// difference (the size checks of the structures and buffers, the handle
// checks, the instance identifiers of the members of a set) and records every
// call, with its arguments, and every debugger message in order.
#ifndef MIREL_TOOLS_DRVUPDATE_SIM_SIMULATED_SYSTEM_H
#define MIREL_TOOLS_DRVUPDATE_SIM_SIMULATED_SYSTEM_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tools/drvupdate/system.h"

namespace drvupdate::sim {

// A present device. A device that is not readable is enumerated but its
// instance identifier cannot be read (the platform call fails for it).
struct Device {
    std::string instanceId;
    bool readable = true;
};

class SimulatedSystem final : public SystemInterface {
public:
    // --- what the system is (set up before the program runs) ---------------

    DWORD platformId = kVerPlatformWin32Nt;
    bool versionFails = false;

    std::vector<Device> devices;
    // SetupDiGetClassDevsA answers "no set".
    bool classDevsFail = false;
    // SetupDiEnumDeviceInfo fails at this member index even though more
    // members exist (an enumeration error rather than the end of the set).
    std::optional<DWORD> enumerationFailsAt;

    BOOL updateSucceeds = TRUE;
    BOOL updateNeedsReboot = FALSE;

    BOOL copySucceeds = TRUE;
    // The name the system gives the staged INF file.
    std::string stagedName = "C:\\WINDOWS\\INF\\oem7.inf";

    // --- what the program did ---------------------------------------------

    // Every call in order, one line each, e.g.
    //   SetupDiEnumDeviceInfo(set=1, index=0, cbSize=32) -> 1
    // and OutputDebugStringA("Found:") for a message.
    const std::vector<std::string>& Calls() const { return calls_; }
    // The calls of one name only.
    std::vector<std::string> CallsTo(const std::string& name) const;
    // Every debugger message in order.
    const std::vector<std::string>& DebugOutput() const { return debug_; }
    // The debugger output as one text.
    std::string DebugText() const;
    // Sets obtained and not yet destroyed.
    int OpenSets() const { return openSets_; }
    // Misuse the real system would answer with an error or undefined
    // behaviour (a stale handle, a wrong structure size, a buffer without
    // a terminating zero); empty when the program used the calls correctly.
    const std::vector<std::string>& Misuse() const { return misuse_; }
    // The value *rebootRequired held when the update was called.
    std::optional<BOOL> RebootFlagOnEntry() const { return rebootFlagOnEntry_; }

    // --- the interface -----------------------------------------------------

    BOOL GetVersionExA(OsVersionInfo* info) override;
    void OutputDebugStringA(const char* text) override;
    DeviceSet SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                                   DWORD flags) override;
    BOOL SetupDiEnumDeviceInfo(DeviceSet set, DWORD index, DeviceInfoData* member) override;
    BOOL SetupDiGetDeviceInstanceIdA(DeviceSet set, DeviceInfoData* member, char* buffer, DWORD bufferSize,
                                     DWORD* requiredSize) override;
    BOOL SetupDiDestroyDeviceInfoList(DeviceSet set) override;
    BOOL UpdateDriverForPlugAndPlayDevicesA(void* parentWindow, const char* hardwareId, const char* infPath,
                                            DWORD installFlags, BOOL* rebootRequired) override;
    BOOL SetupCopyOEMInfA(const char* sourceInfFileName, const char* sourceMediaLocation, DWORD sourceMediaType,
                          DWORD copyStyle, char* destinationName, DWORD destinationNameSize, DWORD* requiredSize,
                          char** destinationNameComponent) override;

private:
    struct SetState {
        std::vector<Device> members;  // the devices present when the set was made
        bool open = true;
    };

    // The set behind a handle, or nullptr (recorded as misuse) when the
    // handle is not an open set.
    SetState* Lookup(DeviceSet set, const char* call);
    void Record(std::string line) { calls_.push_back(std::move(line)); }
    void Misused(std::string what) { misuse_.push_back(std::move(what)); }

    std::vector<SetState> sets_;  // handle n is sets_[n - 1]
    std::vector<std::string> calls_;
    std::vector<std::string> debug_;
    std::vector<std::string> misuse_;
    int openSets_ = 0;
    std::optional<BOOL> rebootFlagOnEntry_;
};

}  // namespace drvupdate::sim

#endif  // MIREL_TOOLS_DRVUPDATE_SIM_SIMULATED_SYSTEM_H
