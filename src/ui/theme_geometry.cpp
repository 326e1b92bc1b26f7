#include "ui/theme_geometry.h"

#include <algorithm>

namespace Theme {

int DefaultFontHeight(int dpiY) {
  if (dpiY <= 0) return 0;
  // 8 points of 1/72 inch, rounded half away from zero.
  const long long scaled = (8LL * dpiY * 2 + 72) / (72 * 2);
  return -static_cast<int>(scaled);
}

unsigned TimerPeriod(unsigned minimumPeriod, unsigned maximumPeriod) {
  unsigned period = std::max(minimumPeriod, 1u);
  if (period > maximumPeriod) period = maximumPeriod;
  return period;
}

Rect ClientFromAdjusted(const Rect& window, const Rect& adjusted) {
  return {2 * window.left - adjusted.left, 2 * window.top - adjusted.top, 2 * window.right - adjusted.right,
          2 * window.bottom - adjusted.bottom};
}

FrameLayout ComputeFrameLayout(const Rect& window, const Rect& client, const FrameMetrics& metrics) {
  FrameLayout layout;
  layout.window = window;
  layout.client = client;
  if (!metrics.hasCaption) return layout;

  layout.caption = {client.left, window.top, client.right, client.top};
  const int h = client.top - window.top;
  // Two thirds of the caption height, rounded to nearest (never a half).
  const int s = h > 0 ? (4 * h + 3) / 6 : 0;
  layout.close = Rect{layout.caption.right - s, window.top, layout.caption.right, window.top + s}.Offset(
      0, (h - s) / 2 + 1);
  layout.maximize = layout.close.Offset(-(s + 1), 0);
  layout.minimize = layout.maximize.Offset(-(s + 1), 0);
  layout.captionText = layout.caption;
  if (metrics.hasSmallIcon) {
    const int y = window.top + (h - metrics.smallIconHeight + 1) / 2;
    layout.icon = {layout.caption.left, y, layout.caption.left + metrics.smallIconWidth,
                   y + metrics.smallIconHeight};
    layout.captionText.left = layout.caption.left + metrics.smallIconWidth + metrics.dialogFrameWidth;
  }
  return layout;
}

Point ClientToWindowPoint(Point client, const FrameLayout& layout) {
  return {client.x + layout.client.left - layout.window.left, client.y + layout.client.top - layout.window.top};
}

int FrameHitTest(int platformAnswer, uint32_t style, Point windowPoint, const FrameLayout& layout) {
  switch (platformAnswer) {
    case kHitCaption:
    case kHitMinimize:
    case kHitMaximize:
    case kHitClose:
      if (!(style & (kStyleSysMenu | kStyleMinimizeBox | kStyleMaximizeBox))) return platformAnswer;
      if ((style & kStyleMinimizeBox) && layout.minimize.Contains(windowPoint)) return kHitMinimize;
      if ((style & kStyleMaximizeBox) && layout.maximize.Contains(windowPoint)) return kHitMaximize;
      if ((style & kStyleSysMenu) && layout.close.Contains(windowPoint)) return kHitClose;
      return kHitCaption;
    case kHitSysMenu:
      // The icon drags the window like the caption; no system menu opens.
      return kHitCaption;
    default:
      return platformAnswer;
  }
}

CaptionButtonStates StatesAfterMouseMove(int hit, uint32_t style, bool leftButtonDown,
                                         CaptionButtonStates current) {
  const int active = leftButtonDown ? 2 : 1;
  const bool boxes = (style & (kStyleMinimizeBox | kStyleMaximizeBox)) != 0;
  CaptionButtonStates s = current;
  switch (hit) {
    case kHitMinimize:
      s = {active, 0, 0};
      break;
    case kHitMaximize:
      s = {0, active, 0};
      break;
    case kHitClose:
      s.close = active;
      if (boxes) s.minimize = s.maximize = 0;
      break;
    default:
      if (style & kStyleSysMenu) {
        if (boxes) s.minimize = s.maximize = 0;
        s.close = 0;
      }
      break;
  }
  return s;
}

CaptionGlyph ComputeCaptionGlyph(GlyphKind kind, const Rect& b) {
  CaptionGlyph g;
  g.outline = b;
  switch (kind) {
    case GlyphKind::Minimize:
      g.boxes.push_back({b.left + 4, b.bottom - 6, b.right - 3, b.bottom - 3});
      break;
    case GlyphKind::Maximize:
      g.boxes.push_back({b.left + 4, b.top + 4, b.right - 3, b.bottom - 3});
      break;
    case GlyphKind::Restore: {
      const int w = (b.right - b.left - 7) / 3;
      const int h = (b.bottom - b.top - 7) / 3;
      const Rect back{b.left + w + 4, b.top + 4, b.right - 3, b.bottom - h - 3};
      g.boxes.push_back(back);
      g.boxes.push_back(back.Offset(-w, h));
      break;
    }
    case GlyphKind::Close:
      g.lines.push_back({{b.left + 1, b.top + 1}, {b.right - 1, b.bottom - 1}});
      g.lines.push_back({{b.left, b.bottom - 1}, {b.right - 1, b.top}});
      break;
  }
  return g;
}

Rect ClientBorderRect(const Rect& client, int borderWidth) {
  if (borderWidth <= 0) return {};
  return {client.left, client.top, client.right - borderWidth, client.bottom - borderWidth};
}

ButtonKind ButtonKindFromStyle(uint32_t style) {
  switch (style & 0xF) {
    case 2:
      return ButtonKind::CheckBox;
    case 3:
      return ButtonKind::AutoCheckBox;
    case 4:
      return ButtonKind::Radio;
    case 9:
      return ButtonKind::AutoRadio;
    default:
      return ButtonKind::Push;
  }
}

bool IsRadioKind(ButtonKind kind) { return kind == ButtonKind::Radio || kind == ButtonKind::AutoRadio; }
bool IsCheckKind(ButtonKind kind) { return kind == ButtonKind::CheckBox || kind == ButtonKind::AutoCheckBox; }

int ButtonStateIndex(bool disabled, bool selected, bool hover) {
  if (disabled) return 3;
  if (selected) return 2;
  if (hover) return 1;
  return 0;
}

ButtonLayout ComputeButtonLayout(ButtonKind kind, const Rect& item, int edgeWidth, unsigned textFormat) {
  ButtonLayout layout;
  Rect r = item;
  layout.textFormat = textFormat;
  if (kind == ButtonKind::Push) {
    if (edgeWidth > 0) {
      r.right -= edgeWidth;
      r.bottom -= edgeWidth;
      layout.hasEdges = true;
      layout.topLeftEdge[0] = {r.left, r.bottom};
      layout.topLeftEdge[1] = {r.left, r.top};
      layout.topLeftEdge[2] = {r.right, r.top};
      layout.bottomRightEdge[0] = {r.right, r.top};
      layout.bottomRightEdge[1] = {r.right, r.bottom};
      layout.bottomRightEdge[2] = {r.left, r.bottom};
      r.left += edgeWidth;
      r.top += edgeWidth;
    }
  } else {
    layout.checkFrame = {item.left + 2, item.top, item.left + 15, item.bottom};
    r.left = item.left + 19;
    // Left-aligned, cut with an ellipsis at the end.
    layout.textFormat = (textFormat & ~3u) | 0x8000u;
  }
  layout.text = r;
  return layout;
}

std::vector<size_t> RadioGroupToUncheck(const std::vector<SiblingInfo>& siblings, size_t self) {
  std::vector<size_t> out;
  if (self >= siblings.size()) return out;
  const int selfId = siblings[self].id;
  // The group starts at the last grouped button (walking back from the end)
  // whose identifier is not above this one's; without one, at the first sibling.
  size_t start = 0;
  for (size_t i = siblings.size(); i-- > 0;) {
    const SiblingInfo& s = siblings[i];
    if (s.isButton && s.hasGroupStyle && s.id <= selfId) {
      start = i;
      break;
    }
  }
  const int startId = siblings[start].id;
  for (size_t i = start; i < siblings.size(); ++i) {
    const SiblingInfo& s = siblings[i];
    if (i != start && s.hasGroupStyle && s.id != startId) break;
    const bool radio = s.kind == static_cast<int>(ButtonKind::Radio) || s.kind == static_cast<int>(ButtonKind::AutoRadio);
    if (s.isButton && radio && s.id != selfId) out.push_back(i);
  }
  return out;
}

unsigned StaticDrawFlags(uint32_t style) {
  unsigned flags = 0;
  const uint32_t align = style & 0x1F;
  if (align == 2) flags |= 0x2;   // right
  if (align == 1) flags |= 0x1;   // centre
  if (align != 0) flags |= 0x24;  // single line, centred vertically
  switch (style & 0xC000) {
    case 0x4000:
      flags |= 0x8000;  // end ellipsis
      break;
    case 0x8000:
      flags |= 0x4000;  // path ellipsis
      break;
    case 0xC000:
      flags |= 0x40000;  // word ellipsis
      break;
    default:
      break;
  }
  return flags;
}

Rect StaticBorderRect(const Rect& item, int b) {
  const int in = b / 2;
  const int out = b - b / 2 - 1;
  return {item.left + in, item.top + in, item.right - out, item.bottom - out};
}

std::vector<std::wstring> SplitStaticLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(L'\n', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(pos, end - pos);
    while (!line.empty() && line.back() == L'\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

int StaticTextTop(const Rect& item, unsigned flags, int lineCount, int lineHeight) {
  if (!(flags & 0x4)) return item.top;
  return item.top + (item.Height() - lineCount * lineHeight) / 2;
}

std::vector<int> MessageBoxButtons(unsigned type) {
  switch (type) {
    case 1:
      return {1, 2};
    case 2:
      return {3, 4, 5};
    case 3:
      return {6, 7, 2};
    case 4:
      return {6, 7};
    case 5:
      return {4, 2};
    case 6:
      return {2, 10, 11};
    default:
      return {1};
  }
}

MessageBoxLayout ComputeMessageBoxLayout(const Rect& textBounds, int buttonWidth, int buttonHeight,
                                         unsigned type) {
  const int n = static_cast<int>(MessageBoxButtons(type).size());
  const int rowWidth = n * buttonWidth + (n - 1) * 10;
  Rect r = textBounds;
  r.right = r.left + std::max(std::max(r.Width(), 150), rowWidth);
  r.left -= 15;
  r.right += 15;
  if (r.left < 0) r = r.Offset(-r.left, 0);
  r = r.Offset(0, 15);

  MessageBoxLayout layout;
  layout.text = r;
  const int y = r.bottom + 15;
  int x = r.left + (r.Width() - rowWidth) / 2;
  for (int i = 0; i < n; ++i) {
    layout.buttons.push_back({x, y, x + buttonWidth, y + buttonHeight});
    x += buttonWidth + 10;
  }
  layout.clientNeeded = {r.left, r.top, r.right, y + buttonHeight + 30};
  return layout;
}

}  // namespace Theme
