#include "ui/theme_store.h"

#include "ui/theme_geometry.h"

#include <mmsystem.h>
#include <objidl.h>
#include <gdiplus.h>

namespace {

ThemeStore* theStore = nullptr;
std::unique_ptr<std::vector<std::unique_ptr<Util::CMonitor>>> monitors;
int screenDpiY = 0;

BOOL CALLBACK AddMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  auto* status = reinterpret_cast<DWORD*>(param);
  monitors->push_back(std::make_unique<Util::CMonitor>(monitor));
  const DWORD error = monitors->back()->Query();
  if (error && !*status) *status = error;
  return TRUE;
}

}  // namespace

DWORD Util::CMonitor::Query() {
  if (!monitor_) return ERROR_INVALID_HANDLE;
  if (!::GetMonitorInfoW(monitor_, &info_)) return ::GetLastError();
  return 0;
}

DWORD RefreshMonitorList() {
  if (!monitors) monitors = std::make_unique<std::vector<std::unique_ptr<Util::CMonitor>>>();
  monitors->clear();
  DWORD status = 0;
  if (!::EnumDisplayMonitors(nullptr, nullptr, &AddMonitor, reinterpret_cast<LPARAM>(&status)))
    return ::GetLastError();
  return status;
}

const std::vector<std::unique_ptr<Util::CMonitor>>& GetMonitorList() {
  static const std::vector<std::unique_ptr<Util::CMonitor>> none;
  return monitors ? *monitors : none;
}

int GetDefaultFontHeight() {
  if (screenDpiY == 0) {
    if (HDC dc = ::CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr)) {
      screenDpiY = ::GetDeviceCaps(dc, LOGPIXELSY);
      ::DeleteDC(dc);
    }
  }
  return Theme::DefaultFontHeight(screenDpiY);
}

LOGFONTW MakeDefaultFont(LONG weight) {
  LOGFONTW font{};
  font.lfHeight = GetDefaultFontHeight();
  font.lfWeight = weight;
  font.lfCharSet = DEFAULT_CHARSET;
  ::lstrcpynW(font.lfFaceName, L"Tahoma", LF_FACESIZE);
  return font;
}

ThemeStore::ThemeStore() {
  Gdiplus::GdiplusStartupInput input;  // version 1, no options
  if (Gdiplus::GdiplusStartup(&gdiplusToken_, &input, nullptr) != Gdiplus::Ok) gdiplusToken_ = 0;

  RefreshMonitorList();

  TIMECAPS caps{};
  if (::timeGetDevCaps(&caps, sizeof(caps)) == TIMERR_NOERROR) {
    const UINT period = Theme::TimerPeriod(caps.wPeriodMin, caps.wPeriodMax);
    if (::timeBeginPeriod(period) == TIMERR_NOERROR) timerPeriod_ = period;
  }

  dialog.captionFont = MakeDefaultFont(FW_BOLD);
  button.font = MakeDefaultFont(FW_NORMAL);
  staticText.font = MakeDefaultFont(FW_NORMAL);
}

ThemeStore::~ThemeStore() {
  if (timerPeriod_) ::timeEndPeriod(timerPeriod_);
  monitors.reset();
  if (gdiplusToken_) Gdiplus::GdiplusShutdown(gdiplusToken_);
}

ThemeStore& GetThemeStore() {
  if (!theStore) theStore = new ThemeStore();
  return *theStore;
}

bool ThemeStoreExists() { return theStore != nullptr; }

void ReleaseThemeStore() {
  delete theStore;
  theStore = nullptr;
}
