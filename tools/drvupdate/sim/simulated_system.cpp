#include "tools/drvupdate/sim/simulated_system.h"

#include <cstdint>
#include <cstring>

namespace drvupdate::sim {

namespace {

std::string Hex(DWORD value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

std::string Quoted(const char* text) { return text == nullptr ? "null" : "\"" + std::string(text) + "\""; }

std::string Pointer(const void* p) { return p == nullptr ? "null" : "ptr"; }

std::uintptr_t HandleValue(DeviceSet set) { return reinterpret_cast<std::uintptr_t>(set); }

}  // namespace

std::vector<std::string> SimulatedSystem::CallsTo(const std::string& name) const {
    std::vector<std::string> matching;
    for (const std::string& call : calls_) {
        if (call.compare(0, name.size(), name) == 0 && call.size() > name.size() &&
            (call[name.size()] == '(' || call[name.size()] == ':')) {
            matching.push_back(call);
        }
    }
    return matching;
}

std::string SimulatedSystem::DebugText() const {
    std::string text;
    for (const std::string& message : debug_) text += message;
    return text;
}

SimulatedSystem::SetState* SimulatedSystem::Lookup(DeviceSet set, const char* call) {
    const std::uintptr_t handle = HandleValue(set);
    if (set == kInvalidDeviceSet || handle == 0 || handle > sets_.size()) {
        Misused(std::string(call) + ": not a device set");
        return nullptr;
    }
    SetState* state = &sets_[handle - 1];
    if (!state->open) {
        Misused(std::string(call) + ": set " + std::to_string(handle) + " already destroyed");
        return nullptr;
    }
    return state;
}

BOOL SimulatedSystem::GetVersionExA(OsVersionInfo* info) {
    if (info == nullptr) {
        Misused("GetVersionExA: no structure");
        return FALSE;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    // The plain structure (148 bytes) or the extended one (156).
    const bool sizeOk = size == 148 || size == 156;
    if (!sizeOk) Misused("GetVersionExA: dwOSVersionInfoSize " + std::to_string(size));
    const BOOL ok = sizeOk && !versionFails;
    Record("GetVersionExA(size=" + std::to_string(size) + ") -> " + std::to_string(ok));
    if (!ok) return FALSE;
    info->dwMajorVersion = platformId == kVerPlatformWin32Nt ? 5 : 4;
    info->dwMinorVersion = platformId == kVerPlatformWin32Nt ? 1 : 90;
    info->dwBuildNumber = platformId == kVerPlatformWin32Nt ? 2600 : 3000;
    info->dwPlatformId = platformId;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    return TRUE;
}

void SimulatedSystem::OutputDebugStringA(const char* text) {
    if (text == nullptr) {
        Misused("OutputDebugStringA: no text");
        return;
    }
    debug_.emplace_back(text);
    Record(std::string("OutputDebugStringA: ") + text);
}

DeviceSet SimulatedSystem::SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                                                DWORD flags) {
    std::string line = "SetupDiGetClassDevsA(class=" + Pointer(classGuid) + ", enumerator=" + Quoted(enumerator) +
                       ", window=" + Pointer(parentWindow) + ", flags=" + Hex(flags) + ") -> ";
    // Without a class the call needs DIGCF_ALLCLASSES.
    const bool valid = classGuid != nullptr || (flags & kDigcfAllClasses) != 0;
    if (!valid) Misused("SetupDiGetClassDevsA: no class and no DIGCF_ALLCLASSES");
    if (classDevsFail || !valid) {
        Record(line + "INVALID_HANDLE_VALUE");
        return kInvalidDeviceSet;
    }
    sets_.push_back(SetState{devices, true});
    openSets_++;
    Record(line + "set " + std::to_string(sets_.size()));
    return reinterpret_cast<DeviceSet>(static_cast<std::uintptr_t>(sets_.size()));
}

BOOL SimulatedSystem::SetupDiEnumDeviceInfo(DeviceSet set, DWORD index, DeviceInfoData* member) {
    const DWORD cbSize = member != nullptr ? member->cbSize : 0;
    std::string line = "SetupDiEnumDeviceInfo(set=" + std::to_string(HandleValue(set)) +
                       ", index=" + std::to_string(index) + ", cbSize=" + std::to_string(cbSize) + ") -> ";
    SetState* state = Lookup(set, "SetupDiEnumDeviceInfo");
    if (member == nullptr || cbSize != sizeof(DeviceInfoData)) {
        Misused("SetupDiEnumDeviceInfo: cbSize " + std::to_string(cbSize));
        state = nullptr;
    }
    if (state == nullptr || (enumerationFailsAt && *enumerationFailsAt == index) || index >= state->members.size()) {
        Record(line + "0");
        return FALSE;
    }
    std::memset(&member->ClassGuid, 0, sizeof(member->ClassGuid));
    member->DevInst = index + 1;
    member->Reserved = HandleValue(set);  // ties the member to its set
    Record(line + "1");
    return TRUE;
}

BOOL SimulatedSystem::SetupDiGetDeviceInstanceIdA(DeviceSet set, DeviceInfoData* member, char* buffer,
                                                  DWORD bufferSize, DWORD* requiredSize) {
    std::string line = "SetupDiGetDeviceInstanceIdA(set=" + std::to_string(HandleValue(set)) +
                       ", member=" + (member != nullptr ? std::to_string(member->DevInst) : std::string("null")) +
                       ", size=" + std::to_string(bufferSize) + ", required=" + Pointer(requiredSize) + ") -> ";
    SetState* state = Lookup(set, "SetupDiGetDeviceInstanceIdA");
    if (state != nullptr &&
        (member == nullptr || member->cbSize != sizeof(DeviceInfoData) || member->Reserved != HandleValue(set) ||
         member->DevInst == 0 || member->DevInst > state->members.size())) {
        Misused("SetupDiGetDeviceInstanceIdA: not a member of the set");
        state = nullptr;
    }
    if (state != nullptr && buffer == nullptr && bufferSize != 0) {
        Misused("SetupDiGetDeviceInstanceIdA: size without a buffer");
        state = nullptr;
    }
    if (state == nullptr) {
        Record(line + "0");
        return FALSE;
    }
    const Device& device = state->members[member->DevInst - 1];
    if (!device.readable) {
        Record(line + "0");
        return FALSE;
    }
    const std::size_t needed = device.instanceId.size() + 1;
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(needed);
    if (needed > bufferSize) {  // the identifier and its zero do not fit
        Record(line + "0 (buffer too small)");
        return FALSE;
    }
    std::memcpy(buffer, device.instanceId.c_str(), needed);
    Record(line + "1");
    return TRUE;
}

BOOL SimulatedSystem::SetupDiDestroyDeviceInfoList(DeviceSet set) {
    std::string line = "SetupDiDestroyDeviceInfoList(set=" + std::to_string(HandleValue(set)) + ") -> ";
    SetState* state = Lookup(set, "SetupDiDestroyDeviceInfoList");
    if (state == nullptr) {
        Record(line + "0");
        return FALSE;
    }
    state->open = false;
    openSets_--;
    Record(line + "1");
    return TRUE;
}

BOOL SimulatedSystem::UpdateDriverForPlugAndPlayDevicesA(void* parentWindow, const char* hardwareId,
                                                         const char* infPath, DWORD installFlags,
                                                         BOOL* rebootRequired) {
    std::string line = "UpdateDriverForPlugAndPlayDevicesA(window=" + Pointer(parentWindow) +
                       ", hardwareId=" + Quoted(hardwareId) + ", infPath=" + Quoted(infPath) +
                       ", flags=" + Hex(installFlags) + ", reboot=" + Pointer(rebootRequired) + ") -> ";
    if (hardwareId == nullptr || infPath == nullptr) Misused("UpdateDriverForPlugAndPlayDevicesA: missing argument");
    if (rebootRequired != nullptr) rebootFlagOnEntry_ = *rebootRequired;
    const BOOL ok = updateSucceeds && hardwareId != nullptr && infPath != nullptr;
    if (ok && updateNeedsReboot && rebootRequired != nullptr) *rebootRequired = TRUE;
    Record(line + std::to_string(ok));
    return ok;
}

BOOL SimulatedSystem::SetupCopyOEMInfA(const char* sourceInfFileName, const char* sourceMediaLocation,
                                       DWORD sourceMediaType, DWORD copyStyle, char* destinationName,
                                       DWORD destinationNameSize, DWORD* requiredSize,
                                       char** destinationNameComponent) {
    std::string line = "SetupCopyOEMInfA(source=" + Quoted(sourceInfFileName) +
                       ", media=" + Quoted(sourceMediaLocation) + ", mediaType=" + std::to_string(sourceMediaType) +
                       ", copyStyle=" + Hex(copyStyle) + ", size=" + std::to_string(destinationNameSize) +
                       ", required=" + Pointer(requiredSize) + ", component=" + Pointer(destinationNameComponent) +
                       ") -> ";
    if (sourceInfFileName == nullptr) Misused("SetupCopyOEMInfA: no source");
    if (destinationName == nullptr && destinationNameSize != 0) Misused("SetupCopyOEMInfA: size without a buffer");
    if (!copySucceeds || sourceInfFileName == nullptr) {
        Record(line + "0");
        return FALSE;
    }
    const std::size_t needed = stagedName.size() + 1;
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(needed);
    if (destinationName != nullptr) {
        if (needed > destinationNameSize) {
            Record(line + "0 (buffer too small)");
            return FALSE;
        }
        std::memcpy(destinationName, stagedName.c_str(), needed);
        if (destinationNameComponent != nullptr) {
            char* slash = std::strrchr(destinationName, '\\');
            *destinationNameComponent = slash != nullptr ? slash + 1 : destinationName;
        }
    }
    Record(line + "1");
    return TRUE;
}

}  // namespace drvupdate::sim
