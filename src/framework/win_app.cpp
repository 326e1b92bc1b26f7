#include "framework/win_app.h"

namespace {
CWinApp* theApp = nullptr;
}

CWinApp::CWinApp() { theApp = this; }

CWinApp::~CWinApp() {
  if (theApp == this) theApp = nullptr;
}

CWinApp* GetApp() { return theApp; }

bool CWinApp::InitInstance() { return true; }

int CWinApp::ExitInstance() { return 0; }

void CWinApp::SetRegistryKey(const wchar_t* key) { registryKey_ = key ? key : L""; }

int CWinApp::Run(HINSTANCE instance, const wchar_t* commandLine) {
  instance_ = instance;
  commandLine_ = commandLine ? commandLine : L"";
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, n);
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const auto dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  appName_ = name;

  if (!InitInstance()) return ExitInstance();
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return ExitInstance();
}
