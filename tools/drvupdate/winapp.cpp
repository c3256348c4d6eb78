#include "tools/drvupdate/winapp.h"

namespace drvupdate {

namespace {
CWinApp* application = nullptr;
}  // namespace

CWinApp::CWinApp() {
    if (application == nullptr) application = this;
}

CWinApp::~CWinApp() {
    if (application == this) application = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() { return ExitInstance(); }

int CWinApp::ExitInstance() { return exit_code_; }

CWinApp* GetApplication() { return application; }

int RunApplication(int argc, const char* const* argv) {
    CWinApp* app = application;
    if (app == nullptr) return kNoApplication;
    app->argc_ = argv != nullptr ? argc : 0;
    app->argv_ = argv;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}

}  // namespace drvupdate
