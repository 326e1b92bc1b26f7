// Windows only: the process-wide theme store (GDI+ start-up, the raised timer
// resolution, the display monitor list and the default fonts and colours of
// each themed control kind). Themed windows copy their block from it when
// they load their theme; the application releases it once at the end.
#pragma once
#include <memory>
#include <vector>

#include "platform/windows_api.h"

struct DialogThemeBlock {
  LOGFONTW captionFont{};
  COLORREF captionText = RGB(153, 153, 153);
  COLORREF frameFill = RGB(45, 45, 48);
  COLORREF clientBackground = RGB(37, 37, 38);
  COLORREF clientBorder = RGB(67, 67, 70);
  COLORREF frameOutline = RGB(0, 122, 204);
  int borderWidth = 1;
  // By caption button state: 0 normal, 1 hover, 2 pressed (3 unused).
  COLORREF captionButtonBackground[4] = {RGB(45, 45, 48), RGB(31, 31, 32), RGB(0, 122, 204), RGB(45, 45, 48)};
  COLORREF captionButtonGlyph[4] = {RGB(108, 108, 110), RGB(15, 76, 118), RGB(127, 188, 230), RGB(108, 108, 110)};
};

struct ButtonThemeBlock {
  UINT textFormat = 0x25;  // centred both ways, single line
  LOGFONTW font{};
  // By visual state: 0 normal, 1 hover, 2 pressed, 3 disabled.
  COLORREF text[4] = {RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255), RGB(192, 192, 192)};
  COLORREF background[4] = {RGB(37, 37, 38), RGB(45, 45, 48), RGB(0, 128, 255), RGB(37, 37, 38)};
  COLORREF edgeTopLeft[4] = {RGB(98, 98, 99), RGB(58, 164, 254), RGB(58, 164, 254), RGB(37, 37, 38)};
  COLORREF edgeBottomRight[4] = {RGB(98, 98, 99), RGB(58, 164, 254), RGB(58, 164, 254), RGB(37, 37, 38)};
  int edgeWidth = 1;
};

struct StaticThemeBlock {
  LOGFONTW font{};
  COLORREF text = RGB(255, 255, 255);
  COLORREF background = RGB(37, 37, 38);
  COLORREF border = RGB(37, 37, 38);
  int borderWidth = 1;
};

// One display monitor.
class IMonitor {
 public:
  virtual ~IMonitor() = default;
  virtual bool IsPrimary() const = 0;
  virtual RECT MonitorRect() const = 0;
  virtual RECT WorkAreaRect() const = 0;
};

namespace Util {

class CMonitor : public IMonitor {
 public:
  explicit CMonitor(HMONITOR monitor) : monitor_(monitor) { info_.cbSize = sizeof(info_); }
  // Reads the monitor's extended information; 0, 6 (no handle) or the
  // platform's last error.
  DWORD Query();
  bool IsPrimary() const override { return (info_.dwFlags & MONITORINFOF_PRIMARY) != 0; }
  RECT MonitorRect() const override { return info_.rcMonitor; }
  RECT WorkAreaRect() const override { return info_.rcWork; }
  HMONITOR Handle() const { return monitor_; }
  const wchar_t* DeviceName() const { return info_.szDevice; }

 private:
  HMONITOR monitor_;
  MONITORINFOEXW info_{};
};

}  // namespace Util

class ThemeStore {
 public:
  ThemeStore(const ThemeStore&) = delete;
  ThemeStore& operator=(const ThemeStore&) = delete;
  ~ThemeStore();

  DialogThemeBlock dialog;
  ButtonThemeBlock button;
  StaticThemeBlock staticText;

  // 0 when GDI+ did not start.
  ULONG_PTR GdiplusToken() const { return gdiplusToken_; }
  // The timer period begun, 0 when none was.
  UINT TimerPeriod() const { return timerPeriod_; }

 private:
  friend ThemeStore& GetThemeStore();
  ThemeStore();
  ULONG_PTR gdiplusToken_ = 0;
  UINT timerPeriod_ = 0;
};

// The store, created on first use (user-interface thread).
ThemeStore& GetThemeStore();
// True while a store exists.
bool ThemeStoreExists();
// Ends the timer period, frees the monitor list, shuts GDI+ down and deletes
// the store; nothing when there is none. Later theme loads create a new one.
void ReleaseThemeStore();

// The monitors found when the store was created (empty before).
const std::vector<std::unique_ptr<Util::CMonitor>>& GetMonitorList();
// Lists the display monitors again; 0 or the first error met.
DWORD RefreshMonitorList();

// Height of the 8-point default font at the screen's vertical resolution
// (read from the display once per process).
int GetDefaultFontHeight();
// A font description of the default height with the given weight, character
// set 1 and face "Tahoma".
LOGFONTW MakeDefaultFont(LONG weight);
