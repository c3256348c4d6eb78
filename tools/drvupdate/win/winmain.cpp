// The program's entry point on Windows. A GUI-subsystem program: no console
// is attached and no window is created; messages go to the debugger output.
#include <windows.h>

#include <cstdlib>

#include "tools/drvupdate/updater.h"
#include "tools/drvupdate/win/windows_system.h"

namespace {

drvupdate::WindowsSystem windowsSystem;
drvupdate::DriverUpdateApp theApp(windowsSystem);

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The C runtime has already split the command line into arguments.
    return drvupdate::RunApplication(__argc, __argv);
}
