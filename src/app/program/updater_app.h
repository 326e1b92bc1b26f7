// The updater's application object: everything the updater does happens in
// its InitInstance, which always returns false so that the process then ends.
#pragma once
#include <string>

#include "framework/win_app.h"

class CVXUpdaterApp : public CWinApp {
 public:
  CVXUpdaterApp() = default;
  bool InitInstance() override;

  // The raw command line: the update server's base address, unchanged.
  std::wstring ServerAddress;
};
