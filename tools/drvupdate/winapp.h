// A minimal application framework for a program without windows.
//
// The program defines one application object, of a class derived from
// CWinApp, as a global. The entry point hands the command line to
// RunApplication, which calls the object's InitInstance to do the work. An
// InitInstance that returns FALSE ends the program: ExitInstance is called
// and its result becomes the process exit status. This framework creates no
// window and has no message loop, so Run (what a TRUE return leads to) also
// goes straight to ExitInstance.
#ifndef MIREL_TOOLS_DRVUPDATE_WINAPP_H
#define MIREL_TOOLS_DRVUPDATE_WINAPP_H

#include "tools/drvupdate/system.h"

namespace drvupdate {

class CWinApp {
public:
    // The first object constructed becomes the program's application, until
    // it is destroyed; any other is ignored by RunApplication.
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Does the program's work; FALSE ends the program.
    virtual BOOL InitInstance();
    // Called after an InitInstance that returned TRUE. There is no message
    // loop: it ends the program at once.
    virtual int Run();
    // Returns the exit status of the process.
    virtual int ExitInstance();

    // The command-line arguments, without the program name.
    int ArgumentCount() const { return argc_ > 0 ? argc_ - 1 : 0; }
    const char* Argument(int index) const { return argv_[index + 1]; }

protected:
    int exit_code_ = 0;

private:
    friend int RunApplication(int argc, const char* const* argv);
    int argc_ = 0;
    const char* const* argv_ = nullptr;
};

// The registered application object, or nullptr.
CWinApp* GetApplication();

// What the entry point does: argv[0] is the program name, argv[1..argc-1]
// the arguments. Returns the exit status, or kNoApplication when no
// application object exists.
inline constexpr int kNoApplication = -1;
int RunApplication(int argc, const char* const* argv);

}  // namespace drvupdate

#endif  // MIREL_TOOLS_DRVUPDATE_WINAPP_H
