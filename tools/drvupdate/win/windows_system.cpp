// Our structures have the layout of the system's (checked below), so they
// are copied into the system's types around each call rather than cast.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
// clang-format on

#include <cstddef>
#include <cstring>

#include "tools/drvupdate/win/windows_system.h"
#include "tools/drvupdate/updater.h"

namespace drvupdate {

static_assert(sizeof(OsVersionInfo) == sizeof(OSVERSIONINFOA));
static_assert(offsetof(OsVersionInfo, dwPlatformId) == offsetof(OSVERSIONINFOA, dwPlatformId));
static_assert(sizeof(DeviceInfoData) == sizeof(SP_DEVINFO_DATA));
static_assert(offsetof(DeviceInfoData, DevInst) == offsetof(SP_DEVINFO_DATA, DevInst));
static_assert(offsetof(DeviceInfoData, Reserved) == offsetof(SP_DEVINFO_DATA, Reserved));
static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(kVerPlatformWin32Nt == VER_PLATFORM_WIN32_NT);
static_assert(kDigcfPresent == DIGCF_PRESENT && kDigcfAllClasses == DIGCF_ALLCLASSES);
static_assert(kInstallFlagForce == INSTALLFLAG_FORCE);
static_assert(kSpostPath == SPOST_PATH);
// Every instance identifier the system hands out fits the buffer.
static_assert(kInstanceIdChars >= MAX_DEVICE_ID_LEN);

namespace {

// Writes a DWORD result through a pointer of our own type, when one is given.
class DwordOut {
public:
    explicit DwordOut(DWORD* target) : target_(target) {}
    ~DwordOut() {
        if (target_ != nullptr) *target_ = value_;
    }
    PDWORD get() { return target_ != nullptr ? &value_ : nullptr; }

private:
    DWORD* target_;
    ::DWORD value_ = 0;
};

}  // namespace

BOOL WindowsSystem::GetVersionExA(OsVersionInfo* info) {
    OSVERSIONINFOA version;
    std::memcpy(&version, info, sizeof(version));
    const BOOL ok = ::GetVersionExA(&version);
    std::memcpy(info, &version, sizeof(version));
    return ok;
}

void WindowsSystem::OutputDebugStringA(const char* text) { ::OutputDebugStringA(text); }

DeviceSet WindowsSystem::SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                                              DWORD flags) {
    GUID guid;
    if (classGuid != nullptr) std::memcpy(&guid, classGuid, sizeof(guid));
    HDEVINFO set = ::SetupDiGetClassDevsA(classGuid != nullptr ? &guid : nullptr, enumerator,
                                          static_cast<HWND>(parentWindow), flags);
    return set == INVALID_HANDLE_VALUE ? kInvalidDeviceSet : static_cast<DeviceSet>(set);
}

BOOL WindowsSystem::SetupDiEnumDeviceInfo(DeviceSet set, DWORD index, DeviceInfoData* member) {
    SP_DEVINFO_DATA data;
    std::memcpy(&data, member, sizeof(data));
    const BOOL ok = ::SetupDiEnumDeviceInfo(static_cast<HDEVINFO>(set), index, &data);
    std::memcpy(member, &data, sizeof(data));
    return ok;
}

BOOL WindowsSystem::SetupDiGetDeviceInstanceIdA(DeviceSet set, DeviceInfoData* member, char* buffer,
                                                DWORD bufferSize, DWORD* requiredSize) {
    SP_DEVINFO_DATA data;
    std::memcpy(&data, member, sizeof(data));
    DwordOut required(requiredSize);
    return ::SetupDiGetDeviceInstanceIdA(static_cast<HDEVINFO>(set), &data, buffer, bufferSize, required.get());
}

BOOL WindowsSystem::SetupDiDestroyDeviceInfoList(DeviceSet set) {
    return ::SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set));
}

BOOL WindowsSystem::UpdateDriverForPlugAndPlayDevicesA(void* parentWindow, const char* hardwareId,
                                                       const char* infPath, DWORD installFlags,
                                                       BOOL* rebootRequired) {
    ::BOOL reboot = rebootRequired != nullptr ? *rebootRequired : FALSE;
    const BOOL ok = ::UpdateDriverForPlugAndPlayDevicesA(static_cast<HWND>(parentWindow), hardwareId, infPath,
                                                         installFlags, rebootRequired != nullptr ? &reboot : nullptr);
    if (rebootRequired != nullptr) *rebootRequired = reboot;
    return ok;
}

BOOL WindowsSystem::SetupCopyOEMInfA(const char* sourceInfFileName, const char* sourceMediaLocation,
                                     DWORD sourceMediaType, DWORD copyStyle, char* destinationName,
                                     DWORD destinationNameSize, DWORD* requiredSize,
                                     char** destinationNameComponent) {
    DwordOut required(requiredSize);
    return ::SetupCopyOEMInfA(sourceInfFileName, sourceMediaLocation, sourceMediaType, copyStyle, destinationName,
                              destinationNameSize, required.get(), destinationNameComponent);
}

}  // namespace drvupdate
