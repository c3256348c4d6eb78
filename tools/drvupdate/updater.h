// drvupdate: installs the driver for devices that are already present, or
// stages the INF file for devices inserted later.
//
//   drvupdate inf-path-part ... hardware-id
//
// The last argument is the hardware identifier; the ones before it, joined
// with single spaces, are the INF path, so a path with spaces needs no
// quotes. If a present device's instance identifier matches the hardware
// identifier, the driver of every device with that hardware identifier is
// force-updated from the INF file; if none does, the INF file is copied into
// the system's INF store (NT-family systems only). Every message goes to the
// debugger output.
#ifndef MIREL_TOOLS_DRVUPDATE_UPDATER_H
#define MIREL_TOOLS_DRVUPDATE_UPDATER_H

#include <cstddef>
#include <span>

#include "tools/drvupdate/system.h"
#include "tools/drvupdate/winapp.h"

namespace drvupdate {

// The INF path and the hardware identifier each fit 255 characters and a
// terminating zero; longer ones are refused, never cut.
inline constexpr std::size_t kMaxArgumentChars = 255;
// Buffers the system fills: a device's instance identifier, the name of the
// staged INF file (characters, terminating zero included).
inline constexpr DWORD kInstanceIdChars = 255;
inline constexpr DWORD kStagedNameChars = 255;

// Process exit status.
inline constexpr int kExitDone = 0;           // updated, staged, or nothing to do on this platform
inline constexpr int kExitUsage = 1;          // fewer than two arguments, or one too long
inline constexpr int kExitUpdateFailed = 2;   // a device was found and its update failed
inline constexpr int kExitStagingFailed = 3;  // no device was found and the INF could not be staged

enum class CommandLineStatus { kOk, kTooFewArguments, kInfPathTooLong, kHardwareIdTooLong };

struct CommandLine {
    char infPath[kMaxArgumentChars + 1];
    char hardwareId[kMaxArgumentChars + 1];
    std::size_t hardwareIdLength;
};

// Takes the arguments (program name excluded) apart. Fills *out only when
// the answer is kOk.
CommandLineStatus ParseCommandLine(std::span<const char* const> arguments, CommandLine* out);

// Compares at most `count` characters of a and b, ignoring the case of ASCII
// letters and stopping at the end of either string; true when they are equal.
bool EqualIgnoringCase(const char* a, const char* b, std::size_t count);

// Walks the present devices of all classes and stops at the first one whose
// instance identifier matches the first length - 1 characters of hardwareId
// (case ignored), writing "Found:" and its instance identifier. Members whose
// identifier cannot be read are skipped; a set that cannot be obtained finds
// nothing. An empty hardware identifier matches nothing.
bool FindDevice(SystemInterface& system, const char* hardwareId, std::size_t length);

class DriverUpdateApp : public CWinApp {
public:
    explicit DriverUpdateApp(SystemInterface& system) : system_(system) {}

    // Does the whole job and returns FALSE; the exit status is left for
    // ExitInstance.
    BOOL InitInstance() override;

private:
    void Write(const char* text) { system_.OutputDebugStringA(text); }
    void UpdateDriver(const CommandLine& commandLine);
    void StageInf(const CommandLine& commandLine, DWORD platformId);

    SystemInterface& system_;
};

}  // namespace drvupdate

#endif  // MIREL_TOOLS_DRVUPDATE_UPDATER_H
