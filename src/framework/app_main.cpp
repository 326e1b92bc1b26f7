// The program's entry point: hands control to the application object.
#include "framework/win_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  CWinApp* app = GetApp();
  if (!app) return 1;
  return app->Run(instance, commandLine);
}
