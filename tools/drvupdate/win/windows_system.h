// The operating system interface on Windows: every call goes straight to the
// system. Built only with a Windows compiler.
#ifndef MIREL_TOOLS_DRVUPDATE_WIN_WINDOWS_SYSTEM_H
#define MIREL_TOOLS_DRVUPDATE_WIN_WINDOWS_SYSTEM_H

#include "tools/drvupdate/system.h"

namespace drvupdate {

class WindowsSystem final : public SystemInterface {
public:
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
};

}  // namespace drvupdate

#endif  // MIREL_TOOLS_DRVUPDATE_WIN_WINDOWS_SYSTEM_H
