// A library of the sample suite. It does nothing but carry a version
// resource; SUITE_NAME and the version make every build's bytes its own.
#include <windows.h>

#define SUITE_TEXT2(x) #x
#define SUITE_TEXT(x) SUITE_TEXT2(x)

extern "C" __declspec(dllexport) const char* SuiteLibraryIdentity() {
  return SUITE_TEXT(SUITE_NAME) " " SUITE_TEXT(SUITE_V1) "." SUITE_TEXT(SUITE_V2) "." SUITE_TEXT(SUITE_V3) "." SUITE_TEXT(SUITE_V4);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
