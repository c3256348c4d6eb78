#include "tools/drvupdate/updater.h"

#include <cstring>
#include <vector>

namespace drvupdate {

CommandLineStatus ParseCommandLine(std::span<const char* const> arguments, CommandLine* out) {
    if (arguments.size() < 2) return CommandLineStatus::kTooFewArguments;

    // Measure before copying: the joined path is refused as soon as it
    // passes the limit, whatever the lengths of the remaining parts.
    const std::size_t parts = arguments.size() - 1;
    std::size_t pathLength = 0;
    for (std::size_t i = 0; i < parts; i++) {
        const std::size_t separator = i > 0 ? 1 : 0;
        const std::size_t length = std::strlen(arguments[i]);
        if (length > kMaxArgumentChars || pathLength + separator + length > kMaxArgumentChars) {
            return CommandLineStatus::kInfPathTooLong;
        }
        pathLength += separator + length;
    }
    const char* hardwareId = arguments[parts];
    const std::size_t hardwareIdLength = std::strlen(hardwareId);
    if (hardwareIdLength > kMaxArgumentChars) return CommandLineStatus::kHardwareIdTooLong;

    char* path = out->infPath;
    for (std::size_t i = 0; i < parts; i++) {
        if (i > 0) *path++ = ' ';
        const std::size_t length = std::strlen(arguments[i]);
        std::memcpy(path, arguments[i], length);
        path += length;
    }
    *path = '\0';
    std::memcpy(out->hardwareId, hardwareId, hardwareIdLength + 1);
    out->hardwareIdLength = hardwareIdLength;
    return CommandLineStatus::kOk;
}

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualIgnoringCase(const char* a, const char* b, std::size_t count) {
    for (std::size_t i = 0; i < count; i++) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
        if (a[i] == '\0') return true;  // both strings end here
    }
    return true;
}

bool FindDevice(SystemInterface& system, const char* hardwareId, std::size_t length) {
    DeviceSet set = system.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kDigcfPresent | kDigcfAllClasses);
    if (set == kInvalidDeviceSet) return false;

    bool found = false;
    DeviceInfoData member{};
    member.cbSize = sizeof(member);
    char instanceId[kInstanceIdChars];
    for (DWORD index = 0; system.SetupDiEnumDeviceInfo(set, index, &member); index++) {
        if (!system.SetupDiGetDeviceInstanceIdA(set, &member, instanceId, kInstanceIdChars, nullptr)) continue;
        instanceId[kInstanceIdChars - 1] = '\0';
        // The last character of the hardware identifier takes no part in
        // the match; an empty one has nothing to match with.
        if (length > 0 && EqualIgnoringCase(instanceId, hardwareId, length - 1)) {
            system.OutputDebugStringA("Found:");
            system.OutputDebugStringA(instanceId);
            found = true;
            break;
        }
    }
    system.SetupDiDestroyDeviceInfoList(set);
    return found;
}

BOOL DriverUpdateApp::InitInstance() {
    OsVersionInfo version{};
    version.dwOSVersionInfoSize = sizeof(version);
    // A system that cannot tell its version is not taken for an NT one.
    if (!system_.GetVersionExA(&version)) version.dwPlatformId = kVerPlatformWin32s;

    std::vector<const char*> arguments;
    for (int i = 0; i < ArgumentCount(); i++) {
        arguments.push_back(Argument(i));
        Write(Argument(i));
        Write("\n");
    }

    CommandLine commandLine;
    switch (ParseCommandLine(arguments, &commandLine)) {
        case CommandLineStatus::kOk:
            break;
        case CommandLineStatus::kTooFewArguments:
            Write("Usage: drvupdate inf-path hardware-id\n");
            exit_code_ = kExitUsage;
            return FALSE;
        case CommandLineStatus::kInfPathTooLong:
            Write("The INF path is longer than 255 characters\n");
            exit_code_ = kExitUsage;
            return FALSE;
        case CommandLineStatus::kHardwareIdTooLong:
            Write("The hardware ID is longer than 255 characters\n");
            exit_code_ = kExitUsage;
            return FALSE;
    }

    Write(commandLine.infPath);
    Write("2\n");

    if (FindDevice(system_, commandLine.hardwareId, commandLine.hardwareIdLength)) {
        UpdateDriver(commandLine);
    } else {
        StageInf(commandLine, version.dwPlatformId);
    }
    return FALSE;
}

void DriverUpdateApp::UpdateDriver(const CommandLine& commandLine) {
    Write("\nUpdating driver...\n");
    BOOL rebootRequired = FALSE;
    if (system_.UpdateDriverForPlugAndPlayDevicesA(nullptr, commandLine.hardwareId, commandLine.infPath,
                                                   kInstallFlagForce, &rebootRequired)) {
        Write("Update driver Success...\n");
        // The program never restarts the system itself.
        if (rebootRequired) Write("Reboot Required...\n");
        exit_code_ = kExitDone;
    } else {
        Write("Update driver Failed...\n");
        exit_code_ = kExitUpdateFailed;
    }
}

void DriverUpdateApp::StageInf(const CommandLine& commandLine, DWORD platformId) {
    Write("There is No Adapter\n");
    // Only NT-family systems keep a store of INF files to stage into.
    if (platformId != kVerPlatformWin32Nt) {
        exit_code_ = kExitDone;
        return;
    }
    char stagedName[kStagedNameChars] = {};
    if (system_.SetupCopyOEMInfA(commandLine.infPath, nullptr, kSpostPath, 0, stagedName, kStagedNameChars, nullptr,
                                 nullptr)) {
        stagedName[kStagedNameChars - 1] = '\0';
        Write("\n");
        Write(commandLine.infPath);
        Write(" was copied to ");
        Write(stagedName);
        Write("\n");
        exit_code_ = kExitDone;
    } else {
        Write("Fail to copy the inf\n");
        exit_code_ = kExitStagingFailed;
    }
}

}  // namespace drvupdate
