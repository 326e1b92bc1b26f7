// The application object of a dialog-based Windows program: the entry point
// creates nothing of its own, it calls InitInstance of the one application
// object and, when that returns false, ends the process.
#pragma once
#include <string>

#include "platform/windows_api.h"

class CWnd;

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Called once on the main thread. Returning false ends the process without
  // a message loop; true runs the thread's message loop until WM_QUIT.
  virtual bool InitInstance();
  // Exit status of the process after the message loop (or after a false
  // InitInstance).
  virtual int ExitInstance();

  // Remembers the registry key under which profile settings would be kept.
  void SetRegistryKey(const wchar_t* key);
  const std::wstring& GetRegistryKey() const { return registryKey_; }

  // The raw command line after the program name, as the entry point got it.
  const std::wstring& GetCommandLineText() const { return commandLine_; }
  HINSTANCE GetInstanceHandle() const { return instance_; }
  // The executable's file name without extension.
  const std::wstring& GetAppName() const { return appName_; }
  // The window that stands for the application (the main dialog), or null;
  // not owned.
  CWnd* mainWindow = nullptr;

  // Run by the entry point.
  int Run(HINSTANCE instance, const wchar_t* commandLine);

 private:
  std::wstring registryKey_;
  std::wstring commandLine_;
  std::wstring appName_;
  HINSTANCE instance_ = nullptr;
};

// The one application object (constructed statically by the program).
CWinApp* GetApp();
