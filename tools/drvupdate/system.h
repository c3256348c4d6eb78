// The operating system as drvupdate sees it: the version query, the debugger
// output and the device-installation calls it makes, one method per call and
// with the same arguments. The program is written once against this
// interface; the Windows build passes every call straight to the system
// (win/windows_system.cpp) and the Linux tests run it against a recorded,
// scripted stand-in (sim/simulated_system.cpp).
//
// The types below have the layout of the structures Windows uses for the same
// calls, so the Windows implementation can hand them over unchanged.
#ifndef MIREL_TOOLS_DRVUPDATE_SYSTEM_H
#define MIREL_TOOLS_DRVUPDATE_SYSTEM_H

#include <cstddef>
#include <cstdint>

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

namespace drvupdate {

using BOOL = int;
using DWORD = std::uint32_t;

// Operating system version; only PlatformId is used. 148 bytes on every target.
struct OsVersionInfo {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148, "version block is 148 bytes");

inline constexpr DWORD kVerPlatformWin32s = 0;
inline constexpr DWORD kVerPlatformWin32Windows = 1;
inline constexpr DWORD kVerPlatformWin32Nt = 2;

struct Guid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// One member of a device information set. cbSize must be the size of the
// structure: 28 bytes where pointers are 4 bytes, 32 where they are 8.
struct DeviceInfoData {
    DWORD cbSize;
    Guid ClassGuid;
    DWORD DevInst;
    std::uintptr_t Reserved;
};
static_assert(sizeof(DeviceInfoData) == (sizeof(void*) == 4 ? 28 : 32), "device member layout");

// A device information set. kInvalidDeviceSet is the platform's "no set".
using DeviceSet = void*;
inline DeviceSet const kInvalidDeviceSet = reinterpret_cast<DeviceSet>(~std::uintptr_t{0});

inline constexpr DWORD kDigcfPresent = 0x2;
inline constexpr DWORD kDigcfAllClasses = 0x4;
inline constexpr DWORD kInstallFlagForce = 0x1;
inline constexpr DWORD kSpostPath = 1;

class SystemInterface {
public:
    virtual ~SystemInterface() = default;

    // Fills *info; info->dwOSVersionInfoSize must be set by the caller.
    virtual BOOL GetVersionExA(OsVersionInfo* info) = 0;

    // Writes a zero-terminated text to the debugger output.
    virtual void OutputDebugStringA(const char* text) = 0;

    // The set of devices of a class (or of all classes) that an enumerator
    // knows, per flags; kInvalidDeviceSet on failure.
    virtual DeviceSet SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                                           DWORD flags) = 0;

    // Fills *member (whose cbSize the caller sets) with member `index` of the
    // set; FALSE past the last member or on any other failure.
    virtual BOOL SetupDiEnumDeviceInfo(DeviceSet set, DWORD index, DeviceInfoData* member) = 0;

    // Copies the member's instance identifier, zero-terminated, into buffer
    // (bufferSize characters); FALSE when it cannot be read or does not fit.
    virtual BOOL SetupDiGetDeviceInstanceIdA(DeviceSet set, DeviceInfoData* member, char* buffer, DWORD bufferSize,
                                             DWORD* requiredSize) = 0;

    virtual BOOL SetupDiDestroyDeviceInfoList(DeviceSet set) = 0;

    // Installs the driver of infPath on every present device that has
    // hardwareId; sets *rebootRequired when the system must be restarted.
    virtual BOOL UpdateDriverForPlugAndPlayDevicesA(void* parentWindow, const char* hardwareId, const char* infPath,
                                                    DWORD installFlags, BOOL* rebootRequired) = 0;

    // Copies an INF file into the system's INF store and returns the name it
    // was given there in destinationName (destinationNameSize characters).
    virtual BOOL SetupCopyOEMInfA(const char* sourceInfFileName, const char* sourceMediaLocation,
                                  DWORD sourceMediaType, DWORD copyStyle, char* destinationName,
                                  DWORD destinationNameSize, DWORD* requiredSize, char** destinationNameComponent) = 0;
};

}  // namespace drvupdate

#endif  // MIREL_TOOLS_DRVUPDATE_SYSTEM_H
