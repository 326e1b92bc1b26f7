// The arithmetic of the themed controls: frame layout, caption buttons and
// their hit-test answers and states, glyph shapes, button and static text
// layout, the message box layout, default font height and timer period.
// Portable: no window system here; the drawing code only calls these.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace Theme {

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

// Left/top inclusive, right/bottom exclusive, as the window system's RECT.
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool IsEmpty() const { return right <= left || bottom <= top; }
  bool Contains(Point p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
  Rect Offset(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
  bool Intersects(const Rect& o) const {
    return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
  }
  bool operator==(const Rect&) const = default;
};

struct Line {
  Point from;
  Point to;
  bool operator==(const Line&) const = default;
};

// ---- Window style bits and hit-test answers the layout looks at ---------
constexpr uint32_t kStyleCaption = 0x00C00000;
constexpr uint32_t kStyleSysMenu = 0x00080000;
constexpr uint32_t kStyleMinimizeBox = 0x00020000;
constexpr uint32_t kStyleMaximizeBox = 0x00010000;
constexpr uint32_t kStyleMaximized = 0x01000000;
constexpr uint32_t kStyleGroup = 0x00020000;

constexpr int kHitCaption = 2;
constexpr int kHitSysMenu = 3;
constexpr int kHitMinimize = 8;
constexpr int kHitMaximize = 9;
constexpr int kHitClose = 20;

// ---- Theme store defaults ------------------------------------------------
// Height of an 8-point font at `dpiY` dots per inch, negative (character
// height), rounded to nearest; 0 for a resolution of 0.
int DefaultFontHeight(int dpiY);
// The timer period to begin: the larger of the minimum and 1, capped at the
// maximum.
unsigned TimerPeriod(unsigned minimumPeriod, unsigned maximumPeriod);

// ---- Themed dialog frame -------------------------------------------------
// The client rectangle inside `window` when the window system's frame for
// the style turns `window` into `adjusted`: 2 × window - adjusted, edge by edge.
Rect ClientFromAdjusted(const Rect& window, const Rect& adjusted);

struct FrameMetrics {
  bool hasCaption = false;  // either bit of kStyleCaption
  bool hasSmallIcon = false;
  int smallIconWidth = 16;
  int smallIconHeight = 16;
  int dialogFrameWidth = 3;
};

// Frame geometry in window coordinates (origin at the window's top-left).
struct FrameLayout {
  Rect window;
  Rect client;
  Rect caption;
  Rect captionText;
  Rect icon;
  Rect minimize;
  Rect maximize;
  Rect close;
};

// Lays out the caption, its text, the icon and the three caption buttons for
// a window rectangle and the client rectangle inside it. Without a caption
// only the window and client rectangles are set.
FrameLayout ComputeFrameLayout(const Rect& window, const Rect& client, const FrameMetrics& metrics);

// Answer of the frame hit test. `platformAnswer` is the window system's own
// answer; `windowPoint` the point in window coordinates.
int FrameHitTest(int platformAnswer, uint32_t style, Point windowPoint, const FrameLayout& layout);
// A point in client coordinates converted to window coordinates.
Point ClientToWindowPoint(Point client, const FrameLayout& layout);

// 0 normal, 1 hover, 2 pressed.
struct CaptionButtonStates {
  int minimize = 0;
  int maximize = 0;
  int close = 0;
  bool operator==(const CaptionButtonStates&) const = default;
};
// States after a frame mouse move with hit-test answer `hit`.
CaptionButtonStates StatesAfterMouseMove(int hit, uint32_t style, bool leftButtonDown, CaptionButtonStates current);

enum class GlyphKind { Minimize = 0, Maximize = 1, Restore = 2, Close = 3 };
// What a caption button glyph draws: the button outline (1-pixel pen, filled
// with the background), then boxes with a 2-pixel pen and lines with the
// 1-pixel pen, all in the glyph colour.
struct CaptionGlyph {
  Rect outline;
  std::vector<Rect> boxes;
  std::vector<Line> lines;
};
CaptionGlyph ComputeCaptionGlyph(GlyphKind kind, const Rect& button);

// The outline of the client border (drawn only for dialogs without a
// caption): the client rectangle with its right and bottom edges moved in by
// the border width; empty for a width of 0 or less.
Rect ClientBorderRect(const Rect& client, int borderWidth);

// ---- Themed button -------------------------------------------------------
enum class ButtonKind { CheckBox = 0, AutoCheckBox = 1, Radio = 2, AutoRadio = 3, Push = 4 };
// The kind, from the low four style bits of a button.
ButtonKind ButtonKindFromStyle(uint32_t style);
bool IsRadioKind(ButtonKind kind);
bool IsCheckKind(ButtonKind kind);
// Visual state: 3 disabled, else 2 pressed (selected), else 1 hover, else 0.
int ButtonStateIndex(bool disabled, bool selected, bool hover);

// Parts of a themed button inside its item rectangle.
struct ButtonLayout {
  // Push buttons with an edge: the two polylines (top-left edge, then
  // bottom-right edge), three points each.
  bool hasEdges = false;
  Point topLeftEdge[3];
  Point bottomRightEdge[3];
  // Check box and radio: the band of the platform frame glyph.
  Rect checkFrame;
  // Where the text is drawn, and with which text-drawing flags.
  Rect text;
  unsigned textFormat = 0;
};
ButtonLayout ComputeButtonLayout(ButtonKind kind, const Rect& item, int edgeWidth, unsigned textFormat);

// A sibling window as the radio-group walk sees it, in z-order.
struct SiblingInfo {
  bool isButton = false;  // class "button"
  bool hasGroupStyle = false;
  int id = 0;
  int kind = -1;  // stored button kind (-1: none)
};
// Indices of the radio buttons to uncheck when sibling `self` is checked.
std::vector<size_t> RadioGroupToUncheck(const std::vector<SiblingInfo>& siblings, size_t self);

// ---- Themed static -------------------------------------------------------
// Text-drawing flags from a static's style (alignment and ellipsis bits).
unsigned StaticDrawFlags(uint32_t style);
// The bordered rectangle for border width `b` (> 0).
Rect StaticBorderRect(const Rect& item, int b);
// Lines of a static's text: split at "\n", trailing "\r" removed, empty
// lines dropped.
std::vector<std::wstring> SplitStaticLines(const std::wstring& text);
// Top of the first line: the item's top, or the block centred vertically
// when the flags ask for it (0x4).
int StaticTextTop(const Rect& item, unsigned flags, int lineCount, int lineHeight);

// ---- Themed message box -------------------------------------------------
// Button identifiers of a message-box type's row, left to right (OK for any
// type not listed).
std::vector<int> MessageBoxButtons(unsigned type);
struct MessageBoxLayout {
  Rect text;                  // where the message is drawn
  std::vector<Rect> buttons;  // one per row button, in row order
  Rect clientNeeded;          // the client area the window is sized to fit
};
// `textBounds`: the text's bounding rectangle as computed (centred) in the
// client area; `buttonWidth`, `buttonHeight`: size of one button.
MessageBoxLayout ComputeMessageBoxLayout(const Rect& textBounds, int buttonWidth, int buttonHeight,
                                         unsigned type);

}  // namespace Theme
