// The themed interface's arithmetic, in both builds.
#include "ui/theme_geometry.h"

#include <gtest/gtest.h>

namespace {

using namespace Theme;

TEST(ThemeDefaults, FontHeightAndTimerPeriod) {
  const struct {
    int dpi;
    int height;
  } fonts[] = {{96, -11}, {120, -13}, {144, -16}, {72, -8}, {0, 0}, {192, -21}};
  for (const auto& c : fonts) EXPECT_EQ(DefaultFontHeight(c.dpi), c.height) << c.dpi << " dpi";

  const struct {
    unsigned min, max, period;
  } timers[] = {{0, 1000000, 1}, {1, 1000000, 1}, {5, 1000000, 5}, {20, 10, 10}};
  for (const auto& c : timers) EXPECT_EQ(TimerPeriod(c.min, c.max), c.period) << c.min << ".." << c.max;
}

TEST(FrameLayout, CaptionButtonsIconAndText) {
  // 300 × 200 window with a 3-pixel frame and a 24-pixel caption above the client.
  const Rect window{0, 0, 300, 200};
  const Rect adjusted{-3, -27, 303, 203};
  const Rect client = ClientFromAdjusted(window, adjusted);
  EXPECT_EQ(client, (Rect{3, 27, 297, 197}));

  FrameMetrics m;
  m.hasCaption = true;
  m.hasSmallIcon = true;
  m.smallIconWidth = 16;
  m.smallIconHeight = 16;
  m.dialogFrameWidth = 3;
  // A caption height of 24 (client top 27 with the window top at 3 would
  // not start at 0, so use a client that starts at 24 with no top frame).
  const FrameLayout l = ComputeFrameLayout(window, {3, 24, 297, 197}, m);
  EXPECT_EQ(l.caption, (Rect{3, 0, 297, 24}));
  EXPECT_EQ(l.close, (Rect{281, 5, 297, 21})) << "side 16, moved down by 5";
  EXPECT_EQ(l.maximize, l.close.Offset(-17, 0));
  EXPECT_EQ(l.minimize, l.close.Offset(-34, 0));
  EXPECT_EQ(l.icon, (Rect{3, 4, 19, 20}));
  EXPECT_EQ(l.captionText, (Rect{22, 0, 297, 24}));

  m.hasSmallIcon = false;
  const FrameLayout noIcon = ComputeFrameLayout(window, {3, 24, 297, 197}, m);
  EXPECT_EQ(noIcon.captionText, noIcon.caption);
  EXPECT_TRUE(noIcon.icon.IsEmpty());

  // Other caption heights: side rounded to nearest, centred plus one.
  const struct {
    int h, side, down;
  } heights[] = {{25, 17, 5}, {26, 17, 5}, {18, 12, 4}, {22, 15, 4}};
  for (const auto& c : heights) {
    const FrameLayout x = ComputeFrameLayout(window, {3, c.h, 297, 197}, m);
    EXPECT_EQ(x.close.Width(), c.side) << c.h;
    EXPECT_EQ(x.close.top, c.down) << c.h;
  }

  m.hasCaption = false;
  const FrameLayout bare = ComputeFrameLayout(window, client, m);
  EXPECT_TRUE(bare.close.IsEmpty());
  EXPECT_TRUE(bare.caption.IsEmpty());
}

TEST(FrameLayout, HitTestAnswers) {
  FrameMetrics m;
  m.hasCaption = true;
  const FrameLayout l = ComputeFrameLayout({0, 0, 300, 200}, {3, 24, 297, 197}, m);
  const uint32_t all = kStyleSysMenu | kStyleMinimizeBox | kStyleMaximizeBox;
  const Point onClose{285, 10}, onMax{268, 10}, onMin{251, 10}, onCaption{100, 10};
  const struct {
    const char* name;
    int platform;
    uint32_t style;
    Point p;
    int answer;
  } cases[] = {
      {"close", kHitCaption, all, onClose, kHitClose},
      {"maximize", kHitCaption, all, onMax, kHitMaximize},
      {"minimize", kHitClose, all, onMin, kHitMinimize},
      {"caption", kHitClose, all, onCaption, kHitCaption},
      {"no minimize box", kHitCaption, kStyleSysMenu, onMin, kHitCaption},
      {"close only", kHitCaption, kStyleSysMenu, onClose, kHitClose},
      {"no system menu: close is caption", kHitCaption, kStyleMinimizeBox, onClose, kHitCaption},
      {"none of the bits: kept", kHitClose, 0, onCaption, kHitClose},
      {"none of the bits: kept (max)", kHitMaximize, 0, onClose, kHitMaximize},
      {"system menu icon drags", kHitSysMenu, all, {5, 5}, kHitCaption},
      {"system menu without bits", kHitSysMenu, 0, {5, 5}, kHitCaption},
      {"client kept", 1, all, onClose, 1},
      {"border kept", 10, all, onClose, 10},
  };
  for (const auto& c : cases) EXPECT_EQ(FrameHitTest(c.platform, c.style, c.p, l), c.answer) << c.name;
  EXPECT_EQ(ClientToWindowPoint({10, -20}, l), (Point{13, 4}));
}

TEST(FrameLayout, CaptionButtonStatesFollowTheMouse) {
  const uint32_t all = kStyleSysMenu | kStyleMinimizeBox | kStyleMaximizeBox;
  const CaptionButtonStates hot{1, 1, 1};
  const struct {
    const char* name;
    int hit;
    uint32_t style;
    bool down;
    CaptionButtonStates before, after;
  } cases[] = {
      {"hover minimize", kHitMinimize, all, false, hot, {1, 0, 0}},
      {"press minimize", kHitMinimize, all, true, {}, {2, 0, 0}},
      {"hover maximize", kHitMaximize, all, false, hot, {0, 1, 0}},
      {"press close", kHitClose, all, true, hot, {0, 0, 2}},
      {"close without boxes keeps the others", kHitClose, kStyleSysMenu, false, {2, 2, 0}, {2, 2, 1}},
      {"leave to caption", kHitCaption, all, false, {2, 1, 1}, {0, 0, 0}},
      {"caption without boxes", kHitCaption, kStyleSysMenu, false, {2, 1, 1}, {2, 1, 0}},
      {"caption without system menu", kHitCaption, kStyleMinimizeBox, false, hot, hot},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StatesAfterMouseMove(c.hit, c.style, c.down, c.before), c.after) << c.name;
}

TEST(CaptionGlyphs, Shapes) {
  const Rect b{100, 5, 116, 21};
  EXPECT_EQ(ComputeCaptionGlyph(GlyphKind::Minimize, b).boxes, (std::vector<Rect>{{104, 15, 113, 18}}));
  EXPECT_EQ(ComputeCaptionGlyph(GlyphKind::Maximize, b).boxes, (std::vector<Rect>{{104, 9, 113, 18}}));
  // w = h = (16 - 7) / 3 = 3.
  EXPECT_EQ(ComputeCaptionGlyph(GlyphKind::Restore, b).boxes,
            (std::vector<Rect>{{107, 9, 113, 15}, {104, 12, 110, 18}}));
  const CaptionGlyph close = ComputeCaptionGlyph(GlyphKind::Close, b);
  EXPECT_TRUE(close.boxes.empty());
  EXPECT_EQ(close.lines, (std::vector<Line>{{{101, 6}, {115, 20}}, {{100, 20}, {115, 5}}}));
  for (auto k : {GlyphKind::Minimize, GlyphKind::Maximize, GlyphKind::Restore, GlyphKind::Close})
    EXPECT_EQ(ComputeCaptionGlyph(k, b).outline, b);
  EXPECT_EQ(ClientBorderRect({0, 0, 100, 50}, 1), (Rect{0, 0, 99, 49}));
  EXPECT_TRUE(ClientBorderRect({0, 0, 100, 50}, 0).IsEmpty());
}

TEST(ThemedButton, KindStateAndLayout) {
  const struct {
    uint32_t style;
    ButtonKind kind;
  } kinds[] = {{0x0, ButtonKind::Push},     {0x1, ButtonKind::Push},         {0x2, ButtonKind::CheckBox},
               {0x3, ButtonKind::AutoCheckBox}, {0x4, ButtonKind::Radio},   {0x9, ButtonKind::AutoRadio},
               {0x6, ButtonKind::Push},     {0xB, ButtonKind::Push},         {0x50010009, ButtonKind::AutoRadio}};
  for (const auto& c : kinds) EXPECT_EQ(ButtonKindFromStyle(c.style), c.kind) << std::hex << c.style;

  // Disabled wins over everything, pressed over hover.
  EXPECT_EQ(ButtonStateIndex(true, true, true), 3);
  EXPECT_EQ(ButtonStateIndex(false, true, true), 2);
  EXPECT_EQ(ButtonStateIndex(false, false, true), 1);
  EXPECT_EQ(ButtonStateIndex(false, false, false), 0);

  const Rect item{0, 0, 75, 23};
  const ButtonLayout push = ComputeButtonLayout(ButtonKind::Push, item, 1, 0x25);
  ASSERT_TRUE(push.hasEdges);
  EXPECT_EQ(push.topLeftEdge[0], (Point{0, 22}));
  EXPECT_EQ(push.topLeftEdge[2], (Point{74, 0}));
  EXPECT_EQ(push.bottomRightEdge[1], (Point{74, 22}));
  EXPECT_EQ(push.text, (Rect{1, 1, 74, 22}));
  EXPECT_EQ(push.textFormat, 0x25u);
  EXPECT_FALSE(ComputeButtonLayout(ButtonKind::Push, item, 0, 0x25).hasEdges);

  for (auto kind : {ButtonKind::CheckBox, ButtonKind::AutoRadio}) {
    const ButtonLayout check = ComputeButtonLayout(kind, item, 1, 0x25);
    EXPECT_FALSE(check.hasEdges);
    EXPECT_EQ(check.checkFrame, (Rect{2, 0, 15, 23}));
    EXPECT_EQ(check.text, (Rect{19, 0, 75, 23}));
    EXPECT_EQ(check.textFormat, 0x8024u) << "left-aligned with an end ellipsis";
  }
}

TEST(ThemedButton, RadioGroups) {
  const int R = static_cast<int>(ButtonKind::AutoRadio), P = static_cast<int>(ButtonKind::Push);
  // Two groups of radios, a push button between, a static in the second.
  const std::vector<SiblingInfo> s = {
      {true, true, 10, R},  {true, false, 11, R}, {true, false, 12, R}, {true, false, 13, P},
      {true, true, 20, R},  {false, false, 21, -1}, {true, false, 22, R},
  };
  const struct {
    size_t self;
    std::vector<size_t> unchecked;
  } cases[] = {{0, {1, 2}}, {1, {0, 2}}, {2, {0, 1}}, {4, {6}}, {6, {4}}};
  for (const auto& c : cases) EXPECT_EQ(RadioGroupToUncheck(s, c.self), c.unchecked) << "self " << c.self;

  // Without any group style everything is one group.
  const std::vector<SiblingInfo> flat = {{true, false, 1, R}, {true, false, 2, R}};
  EXPECT_EQ(RadioGroupToUncheck(flat, 1), (std::vector<size_t>{0}));
  EXPECT_TRUE(RadioGroupToUncheck(flat, 5).empty());
}

TEST(ThemedStatic, FlagsBorderAndLines) {
  const struct {
    uint32_t style;
    unsigned flags;
  } styles[] = {{0x0, 0x0},          {0x1, 0x25},         {0x2, 0x26},          {0x4000, 0x8000},
                {0x8000, 0x4000},    {0xC000, 0x40000},   {0x4002, 0x8026},     {0x5000000C, 0x24}};
  for (const auto& c : styles) EXPECT_EQ(StaticDrawFlags(c.style), c.flags) << std::hex << c.style;

  EXPECT_EQ(StaticBorderRect({0, 0, 100, 20}, 1), (Rect{0, 0, 100, 20}));
  EXPECT_EQ(StaticBorderRect({0, 0, 100, 20}, 2), (Rect{1, 1, 100, 20}));
  EXPECT_EQ(StaticBorderRect({0, 0, 100, 20}, 3), (Rect{1, 1, 99, 19}));

  const struct {
    std::wstring text;
    std::vector<std::wstring> lines;
  } texts[] = {
      {L"one", {L"one"}},
      {L"one\n\ntwo", {L"one", L"two"}},
      {L"one\r\ntwo\r\n", {L"one", L"two"}},
      {L"a\r\r\n\r\nb", {L"a", L"b"}},
      {L"", {}},
      {L"\n\n", {}},
  };
  for (const auto& c : texts) EXPECT_EQ(SplitStaticLines(c.text), c.lines);

  const Rect item{0, 10, 100, 50};
  EXPECT_EQ(StaticTextTop(item, 0x0, 2, 13), 10);
  EXPECT_EQ(StaticTextTop(item, 0x24, 2, 13), 17);
  EXPECT_EQ(StaticTextTop(item, 0x26, 4, 13), 4) << "a block taller than the item starts above it";
}

TEST(MessageBoxLayout, RowsAndSizes) {
  const struct {
    unsigned type;
    std::vector<int> ids;
  } rows[] = {{0, {1}},          {1, {1, 2}},      {2, {3, 4, 5}},  {3, {6, 7, 2}}, {4, {6, 7}},
              {5, {4, 2}},       {6, {2, 10, 11}}, {7, {1}},        {0x10, {1}},    {0x12, {1}}};
  for (const auto& c : rows) EXPECT_EQ(MessageBoxButtons(c.type), c.ids) << c.type;

  // Short text, one OK button: content 150 + 30 wide, button centred below.
  const MessageBoxLayout one = ComputeMessageBoxLayout({0, 0, 60, 13}, 75, 23, 0);
  EXPECT_EQ(one.text, (Rect{0, 15, 180, 28}));
  ASSERT_EQ(one.buttons.size(), 1u);
  EXPECT_EQ(one.buttons[0], (Rect{52, 43, 127, 66}));
  EXPECT_EQ(one.clientNeeded, (Rect{0, 15, 180, 96}));

  // Short text, three 75-pixel buttons.
  const MessageBoxLayout three = ComputeMessageBoxLayout({0, 0, 60, 13}, 75, 23, 2);
  EXPECT_EQ(three.text.Width(), 3 * 75 + 20 + 30);
  ASSERT_EQ(three.buttons.size(), 3u);
  EXPECT_EQ(three.buttons[0].left, 15);
  EXPECT_EQ(three.buttons[1].left, 15 + 85);
  EXPECT_EQ(three.buttons[2].right, three.text.right - 15);

  // A long text sets the width; the row is centred under it.
  const MessageBoxLayout wide = ComputeMessageBoxLayout({0, 0, 401, 26}, 75, 23, 1);
  EXPECT_EQ(wide.text, (Rect{0, 15, 431, 41}));
  EXPECT_EQ(wide.buttons[0].left, (431 - 160) / 2);
  EXPECT_EQ(wide.clientNeeded.bottom, 41 + 15 + 23 + 30);
}

}  // namespace
