#include "helper/screen/FrameBudget.h"
#include "helper/screen/FrameGate.h"
#include "helper/screen/Input.h"
#include "helper/screen/Jpeg.h"
#include "helper/screen/Permissions.h"
#include "helper/screen/Windows.h"
#include "helper/screen/XConnection.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <limits>
#include <random>

namespace ringlark::helper::screen {
void PrintTo(const EncodeSettings& s, std::ostream* out) { *out << "quality " << s.quality << " step " << s.step; }
} // namespace ringlark::helper::screen

using namespace ringlark::helper::screen;

namespace {

TEST(ScreenVerdict, Table)
{
    const auto x11 = [] {
        SessionFacts facts;
        facts.xdgSessionType = "x11";
        facts.display = ":0";
        facts.displayOpens = facts.hasShm = facts.hasComposite = facts.hasDamage = facts.hasXtest = true;
        return facts;
    };
    struct Row {
        const char* name;
        SessionFacts facts;
        bool screen, input;
        const char* reasonHas;
    };
    std::vector<Row> rows;
    rows.push_back({"X11 with everything", x11(), true, true, ""});
    {
        auto f = x11();
        f.xdgSessionType = "wayland";
        rows.push_back({"Wayland with DISPLAY (Xwayland)", f, false, false, "Wayland session"});
    }
    {
        auto f = x11();
        f.xdgSessionType = "";
        f.waylandDisplay = "wayland-0";
        rows.push_back({"WAYLAND_DISPLAY alone", f, false, false, "Wayland session"});
    }
    {
        auto f = x11();
        f.xdgSessionType = "Wayland";
        rows.push_back({"session type in capitals", f, false, false, "Wayland"});
    }
    {
        SessionFacts f;
        f.xdgSessionType = "tty";
        rows.push_back({"no display", f, false, false, "DISPLAY is not set"});
    }
    {
        auto f = x11();
        f.displayOpens = false;
        f.hasShm = f.hasComposite = f.hasDamage = f.hasXtest = false;
        rows.push_back({"display that does not open", f, false, false, "cannot be opened"});
    }
    {
        auto f = x11();
        f.hasXtest = false;
        rows.push_back({"no XTEST", f, true, false, "cannot type or click"});
    }
    {
        auto f = x11();
        f.hasComposite = false;
        rows.push_back({"no Composite", f, false, true, "lacks the Composite extension,"});
    }
    {
        auto f = x11();
        f.hasShm = f.hasDamage = false;
        rows.push_back({"two missing", f, false, true, "MIT-SHM, DAMAGE extensions"});
    }
    {
        auto f = x11();
        f.hasDamage = f.hasXtest = false;
        rows.push_back({"both fail, both said", f, false, false, "DAMAGE extension, so the phone cannot see a window. The X server lacks the XTEST"});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Permissions p = verdict(row.facts);
        EXPECT_EQ(p.screenRecording, row.screen);
        EXPECT_EQ(p.accessibility, row.input);
        if (*row.reasonHas)
            EXPECT_NE(p.reason.find(row.reasonHas), std::string::npos) << p.reason;
        else
            EXPECT_EQ(p.reason, "");
    }
}

TEST(ScreenWindows, MatchPrefersClassThenTitleThenProcessExactBeforeSubstring)
{
    const std::vector<WindowInfo> windows = {
        {1, "Sign in - Google Chrome", "Google-chrome", "chrome", 0, 0, 0, false},
        {2, "Terminal", "Gnome-terminal", "gnome-terminal-", 0, 0, 0, false},
        {3, "firefox notes", "Gedit", "gedit", 0, 0, 0, false},
        {4, "Mozilla Firefox", "firefox", "firefox", 0, 0, 0, false},
        {5, "Scratch", "Notes-app", "notes", 0, 0, 0, false},
        {6, "Notes", "Other", "other", 0, 0, 0, false},
        {7, "one", "Code", "code", 0, 0, 0, false},
        {8, "two", "Code", "code", 0, 0, 0, false},
    };
    const std::vector<std::pair<const char*, std::optional<WindowId>>> cases = {
        {"Google Chrome", 1},   // separators count as spaces
        {"google_chrome", 1},
        {"chrome", 1},          // exact process
        {"firefox", 4},         // exact class beats an earlier title substring
        {"FIREFOX", 4},
        {"terminal", 2},        // exact title
        {"Notes", 6},           // exact title beats a substring of a class
        {"gedit", 3},
        {"mozilla", 4},         // substring of a title
        {"code", 7},            // first of equals
        {"vim", std::nullopt},
        {"", std::nullopt},
        {"  ", std::nullopt},
    };
    for (const auto& [app, expected] : cases) {
        SCOPED_TRACE(app);
        EXPECT_EQ(matchWindow(windows, app), expected);
    }
    EXPECT_EQ(matchWindow({}, "chrome"), std::nullopt);
}

TEST(ScreenWindows, IdsTravelAsHex)
{
    EXPECT_EQ(formatWindowId(0x1a00007), "0x1a00007");
    EXPECT_EQ(parseWindowId("0x1a00007"), WindowId(0x1a00007));
    EXPECT_EQ(parseWindowId("0X1A00007"), WindowId(0x1a00007));
    EXPECT_EQ(parseWindowId(formatWindowId(0xffffffff)), WindowId(0xffffffff));
    for (const char* bad : {"", "0x", "0x0", "1a00007", "0xZZ", "0x123456789", "-0x1", "0x1 ", " 0x1", "0x-1", "0x+1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parseWindowId(bad), std::nullopt);
    }
}

TEST(ScreenWindows, TitlesBecomeValidUtf8)
{
    EXPECT_EQ(sanitiseUtf8("Café ж", 100), "Café ж");
    EXPECT_EQ(sanitiseUtf8("a\xff" "b", 100), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(sanitiseUtf8("a\xe2\x82", 100), "a\xEF\xBF\xBD\xEF\xBF\xBD"); // cut short
    EXPECT_EQ(sanitiseUtf8("a\xc3\xa9", 2), "a");                          // never half a character
    EXPECT_EQ(sanitiseUtf8("\xed\xa0\x80", 100).find('\xed'), std::string::npos); // no surrogates
}

TEST(ScreenInput, TextBecomesKeysyms)
{
    const std::vector<std::pair<std::string, std::vector<Keysym>>> cases = {
        {"123456", {0x31, 0x32, 0x33, 0x34, 0x35, 0x36}},
        {"Aé", {0x41, 0xe9}},                 // Latin-1 keysyms are the code points
        {"ж", {0x1000436}},                   // the rest by Unicode keysym
        {"😀", {0x101f600}},
        {"a\r\nb", {0x61, 0xff0d, 0x62}},     // CR LF is one Return
        {"a\n\nb", {0x61, 0xff0d, 0xff0d, 0x62}},
        {"\r\r", {0xff0d, 0xff0d}},
        {"\t", {0xff09}},
        {"\x01\x7f\xc2\x85", {}},             // controls, also C1
        {"\xff", {}},
        {"\xc0\xaf", {}},                     // overlong "/"
        {"\xed\xa0\x80", {}},                 // a surrogate
        {"\xf4\x90\x80\x80", {}},             // above U+10FFFF
        {"x\xe2\x82", {0x78}},                // truncated at the end
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(keysymsForText(text), expected);
    }
    EXPECT_EQ(keysymsForText("abcdef", 3).size(), 3u);
}

TEST(ScreenInput, KeyNamesTapsAndScrolls)
{
    for (auto [name, keysym] : std::vector<std::pair<const char*, Keysym>>{{"Return", 0xff0d}, {"Tab", 0xff09},
             {"Escape", 0xff1b}, {"Backspace", 0xff08}, {"BackSpace", 0xff08}, {"Left", 0xff51}, {"Up", 0xff52},
             {"Right", 0xff53}, {"Down", 0xff54}})
        EXPECT_EQ(keysymForKeyName(name), keysym) << name;
    for (const char* unknown : {"", "return", "Delete", "Super_L", "Return "})
        EXPECT_EQ(keysymForKeyName(unknown), std::nullopt) << unknown;

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Tap {
        double x, y;
        int w, h;
        std::optional<Pixel> expected;
    };
    for (const Tap& t : std::vector<Tap>{{0, 0, 400, 300, Pixel{0, 0}}, {1, 1, 400, 300, Pixel{399, 299}},
             {0.5, 0.5, 400, 300, Pixel{200, 150}}, {0.25, 0.5, 400, 300, Pixel{100, 150}},
             {-1, 2, 400, 300, Pixel{0, 299}}, {0.999, 0.001, 1, 1, Pixel{0, 0}}, {nan, 0.5, 400, 300, std::nullopt},
             {0.5, inf, 400, 300, std::nullopt}, {0.5, 0.5, 0, 300, std::nullopt}})
        EXPECT_EQ(tapPixel(t.x, t.y, t.w, t.h), t.expected) << t.x << "," << t.y << " in " << t.w << "x" << t.h;

    for (auto [dy, clicks] : std::vector<std::pair<double, int>>{{0, 0}, {1, 1}, {-1, -1}, {50, 1}, {120, 2},
             {-260, -5}, {1e9, 25}, {-1e9, -25}, {nan, 0}, {inf, 0}})
        EXPECT_EQ(scrollClicks(dy), clicks) << dy;
}

TEST(ScreenFrames, GateCapturesOnlyWhenAskedAndChanged)
{
    using A = FrameGate::Action;
    FrameGate gate;
    EXPECT_EQ(gate.changed(), A::Wait);     // nobody asks: nothing is captured
    EXPECT_EQ(gate.request(0), A::Capture); // the first picture
    EXPECT_EQ(gate.captured(), 1u);
    EXPECT_EQ(gate.request(1), A::Wait);    // up to date: park
    EXPECT_TRUE(gate.waiting());
    EXPECT_EQ(gate.changed(), A::Capture);
    EXPECT_EQ(gate.captured(), 2u);
    EXPECT_FALSE(gate.waiting());
    EXPECT_EQ(gate.changed(), A::Wait);     // dirty, but no request
    EXPECT_EQ(gate.request(2), A::Capture); // the change is not lost
    EXPECT_EQ(gate.captured(), 3u);

    EXPECT_EQ(gate.request(0), A::SendLast); // "now", and nothing changed
    gate.sent();
    EXPECT_EQ(gate.request(1), A::SendLast); // behind: the last frame is newer
    gate.sent();
    EXPECT_EQ(gate.request(99), A::SendLast); // a number never handed out counts as 0
    gate.sent();
    EXPECT_EQ(gate.request(3), A::Wait);
    EXPECT_EQ(gate.request(0), A::SendLast); // replaces the parked one
    gate.sent();
    EXPECT_FALSE(gate.waiting());
    EXPECT_EQ(gate.changed(), A::Wait);
    EXPECT_EQ(gate.last(), 3u);
}

TEST(ScreenFrames, SettleWaitsForQuietButNotForever)
{
    using namespace std::chrono_literals;
    const DamageSettle::Clock::time_point t0{1s};
    DamageSettle settle(4ms, 32ms);
    EXPECT_LT(settle.readyAt(), t0); // nothing drawn: at once
    settle.damaged(t0);
    EXPECT_EQ(settle.readyAt(), t0 + 4ms);
    settle.damaged(t0 + 3ms); // the same repaint goes on
    EXPECT_EQ(settle.readyAt(), t0 + 7ms);
    for (auto t = t0 + 6ms; t < t0 + 60ms; t += 3ms)
        settle.damaged(t); // a window that never stops
    EXPECT_EQ(settle.readyAt(), t0 + 32ms);
    settle.captured();
    EXPECT_LT(settle.readyAt(), t0);
    settle.damaged(t0 + 100ms);
    EXPECT_EQ(settle.readyAt(), t0 + 104ms);
}

TEST(ScreenBudget, QualityTableInvertsAndStaysMonotonic)
{
    for (int q = 5; q <= 100; ++q) {
        EXPECT_EQ(FrameBudget::qualityFor(FrameBudget::relativeSize(q)), q) << q;
        if (q > 5) {
            EXPECT_GT(FrameBudget::relativeSize(q), FrameBudget::relativeSize(q - 1)) << q;
        }
    }
    EXPECT_DOUBLE_EQ(FrameBudget::relativeSize(60), 1.0);
    EXPECT_EQ(FrameBudget::qualityFor(0.1), 0); // smaller than anything
    EXPECT_EQ(FrameBudget::qualityFor(50.0), 100);
}

TEST(ScreenBudget, DecisionTable)
{
    using S = EncodeSettings;
    using Next = std::optional<EncodeSettings>;
    struct Row {
        const char* name;
        FrameBudget::Limits limits;
        S remembered;  // what the session used last time
        S tried;
        std::size_t bytes;
        Next next;     // the next attempt; nothing: send it
        S then;        // what the next frame tries first
    };
    const FrameBudget::Limits normal{150'000, 60, 25};
    const std::vector<Row> rows = {
        {"fits at best", normal, {60, 0}, {60, 0}, 120'000, std::nullopt, {60, 0}},
        {"exactly the budget fits", normal, {60, 0}, {60, 0}, 150'000, std::nullopt, {60, 0}},
        {"ordinary window: lower quality, full size", normal, {60, 0}, {60, 0}, 201'000, S{27, 0}, {60, 0}},
        {"just over: a little lower", normal, {60, 0}, {60, 0}, 151'000, S{48, 0}, {60, 0}},
        {"dense text: floor would not fit, shrink", normal, {60, 0}, {60, 0}, 484'000, S{30, 3}, {60, 0}},
        {"over at the floor: next step", normal, {25, 0}, {25, 0}, 160'000, S{29, 1}, {25, 0}},
        {"retry fits and is remembered", normal, {60, 0}, {30, 3}, 110'000, std::nullopt, {30, 3}},
        {"smallest step at the floor is sent", normal, {25, 6}, {25, 6}, 200'000, std::nullopt, {25, 6}},
        {"smallest step above the floor: to the floor", normal, {40, 6}, {40, 6}, 200'000, S{25, 6}, {40, 6}},
        {"well under: quality creeps up", normal, {30, 3}, {30, 3}, 100'000, std::nullopt, {40, 3}},
        {"well under: a bigger step first", normal, {40, 3}, {40, 3}, 60'000, std::nullopt, {60, 2}},
        {"under but not well under: stays", normal, {40, 3}, {40, 3}, 119'000, std::nullopt, {40, 3}},
        {"no budget", {0, 60, 25}, {60, 0}, {60, 0}, 5'000'000, std::nullopt, {60, 0}},
        {"no floor: quality 10 at three quarters", {150'000, 90, 0}, {90, 0}, {90, 0}, 1'000'000, S{10, 2}, {90, 0}},
        {"best below the floor", {150'000, 10, 25}, {25, 0}, {25, 0}, 10'000, std::nullopt, {25, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameBudget budget(row.limits);
        // Reach the remembered settings as a session would: one frame that
        // fits there, well clear of any creep.
        if (row.remembered != budget.first()) {
            ASSERT_EQ(budget.judge(row.remembered, row.limits.bytes * 8 / 10), std::nullopt);
        }
        ASSERT_EQ(budget.first(), row.remembered);
        const Next next = budget.judge(row.tried, row.bytes);
        EXPECT_EQ(next.has_value(), row.next.has_value());
        if (next && row.next) {
            EXPECT_EQ(next->quality, row.next->quality);
            EXPECT_EQ(next->step, row.next->step);
        }
        EXPECT_EQ(budget.first().quality, row.then.quality);
        EXPECT_EQ(budget.first().step, row.then.step);
    }

    // After a miss, small frames keep what fitted for a while before they
    // try bigger again, so a frame near the edge does not cost two encodes
    // every other time.
    FrameBudget budget(normal);
    ASSERT_EQ(budget.judge({60, 0}, 484'000), (EncodeSettings{30, 3}));
    for (int frame = 0; frame < 8; ++frame) {
        EXPECT_EQ(budget.judge({30, 3}, 80'000), std::nullopt);
        EXPECT_EQ(budget.first(), (EncodeSettings{30, 3})) << frame;
    }
    EXPECT_EQ(budget.judge({30, 3}, 80'000), std::nullopt);
    EXPECT_NE(budget.first(), (EncodeSettings{30, 3}));
}

// A window whose frames take `base` bytes at quality 60 and full size, and
// shrink a little faster than their area, as text does.
std::size_t modelBytes(double base, EncodeSettings s)
{
    return std::size_t(base * FrameBudget::relativeSize(s.quality) * std::pow(FrameBudget::scale(s.step), 2.5));
}

TEST(ScreenBudget, SessionsSettleWithinTheBudget)
{
    struct Scene {
        const char* name;
        std::vector<double> bases; // one frame each
        int maxEncodes;            // for all of them
    };
    std::vector<Scene> scenes = {
        {"dense text throughout", std::vector<double>(40, 484'000), 40 + 2},
        {"ordinary window", std::vector<double>(40, 201'000), 40 + 1},
        {"light window never shrinks", std::vector<double>(40, 60'000), 40},
        {"noise", std::vector<double>(10, 3'000'000), 10 + 3},
    };
    Scene alternating{"dense and light by turns", {}, 0};
    for (int i = 0; i < 60; ++i)
        alternating.bases.push_back(i / 20 % 2 ? 60'000 : 484'000);
    alternating.maxEncodes = 60 + 2 * 3 + 6;
    scenes.push_back(alternating);

    for (const Scene& scene : scenes) {
        SCOPED_TRACE(scene.name);
        FrameBudget budget({150'000, 60, 25});
        int encodes = 0;
        EncodeSettings last;
        for (double base : scene.bases) {
            std::optional<EncodeSettings> settings = budget.first();
            std::size_t bytes = 0;
            int attempts = 0;
            while (settings) {
                ASSERT_LT(++attempts, 10) << "no end to the retries";
                last = *settings;
                bytes = modelBytes(base, *settings);
                settings = budget.judge(*settings, bytes);
            }
            encodes += attempts;
            EXPECT_LE(bytes, 150'000u);
        }
        EXPECT_LE(encodes, scene.maxEncodes);
        if (scene.bases.back() <= 60'000)
            EXPECT_EQ(last, (EncodeSettings{60, 0})) << "light frames win everything back";
        else
            EXPECT_GE(last.quality, 25);
    }
}

// BGRX test pictures.
std::vector<std::uint8_t> solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 0;
    }
    return pixels;
}

TEST(ScreenJpeg, ShrinksKeepingAspectAndBrightness)
{
    EXPECT_EQ(scaledSize(1280, 800, 1280), (Size{1280, 800}));
    EXPECT_EQ(scaledSize(800, 600, 1280), (Size{800, 600})); // never enlarged
    EXPECT_EQ(scaledSize(1920, 1080, 1280), (Size{1280, 720}));
    EXPECT_EQ(scaledSize(2000, 10, 1280), (Size{1280, 6}));
    EXPECT_EQ(scaledSize(3000, 1, 1280), (Size{1280, 1}));
    EXPECT_EQ(scaledSize(5000, 100, 0), (Size{5000, 100}));

    // A flat colour stays exactly that colour at an awkward ratio.
    auto flat = solid(1919, 1079, 10, 200, 31);
    std::vector<std::uint8_t> out;
    const Size target = scaledSize(1919, 1079, 1280);
    downscale({flat.data(), 1919, 1079, 1919 * 4}, target, out);
    ASSERT_EQ(out.size(), std::size_t(target.width) * target.height * 4);
    for (std::size_t i = 0; i < out.size(); i += 4)
        ASSERT_TRUE(out[i] == 31 && out[i + 1] == 200 && out[i + 2] == 10) << "pixel " << i / 4;

    // Thin black and white stripes average to grey instead of aliasing.
    auto stripes = solid(4, 2, 0, 0, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 1; x < 4; x += 2)
            for (int c = 0; c < 3; ++c)
                stripes[std::size_t(y * 4 + x) * 4 + c] = 255;
    downscale({stripes.data(), 4, 2, 16}, {2, 1}, out);
    for (int c = 0; c < 6; ++c)
        EXPECT_NEAR(out[std::size_t(c / 3) * 4 + c % 3], 128, 1);

    // Three to two: each target pixel covers a source pixel and a half.
    auto line = solid(3, 1, 0, 0, 0);
    line[4] = line[5] = line[6] = 255;
    downscale({line.data(), 3, 1, 12}, {2, 1}, out);
    EXPECT_NEAR(out[0], 85, 1);
    EXPECT_NEAR(out[4], 85, 1);
}

TEST(ScreenJpeg, EncodesWhatDecodesBack)
{
    const int w = 640, h = 400;
    std::vector<std::uint8_t> picture(std::size_t(w) * h * 4 + 64 * 4 * h); // rows padded to 704 pixels
    const int stride = (w + 64) * 4;
    const std::uint8_t colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto* c = colours[(y >= h / 2) * 2 + (x >= w / 2)];
            std::uint8_t* p = picture.data() + std::size_t(y) * stride + std::size_t(x) * 4;
            p[0] = c[2], p[1] = c[1], p[2] = c[0];
        }
    JpegEncoder encoder;
    for (int maxWidth : {1280, 320}) {
        SCOPED_TRACE(maxWidth);
        Jpeg jpeg;
        std::string error;
        ASSERT_TRUE(encoder.encode({picture.data(), w, h, stride}, maxWidth, 60, jpeg, &error)) << error;
        const int expectedWidth = std::min(w, maxWidth);
        EXPECT_EQ(jpeg.width, expectedWidth);
        EXPECT_EQ(jpeg.height, h * expectedWidth / w);

        tjhandle decoder = tjInitDecompress();
        int dw = 0, dh = 0, subsampling = -1, colourspace = 0;
        ASSERT_EQ(tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(jpeg.bytes.data()),
                      jpeg.bytes.size(), &dw, &dh, &subsampling, &colourspace),
            0);
        EXPECT_EQ(dw, jpeg.width);
        EXPECT_EQ(dh, jpeg.height);
        EXPECT_EQ(subsampling, TJSAMP_420);
        std::vector<unsigned char> rgb(std::size_t(dw) * dh * 3);
        ASSERT_EQ(tjDecompress2(decoder, reinterpret_cast<const unsigned char*>(jpeg.bytes.data()),
                      jpeg.bytes.size(), rgb.data(), dw, 0, dh, TJPF_RGB, 0),
            0);
        tjDestroy(decoder);
        for (int q = 0; q < 4; ++q) {
            const int x = dw / 4 + (q % 2) * dw / 2, y = dh / 4 + (q / 2) * dh / 2;
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(rgb[(std::size_t(y) * dw + x) * 3 + c], colours[q][c], 12) << "quadrant " << q;
        }
    }
    Jpeg jpeg;
    EXPECT_FALSE(encoder.encode({nullptr, 0, 0, 0}, 1280, 60, jpeg));
}

TEST(ScreenJpeg, BudgetShrinksWhatWouldNotFitAndRemembersIt)
{
    // Noise: no quality fits the budget at full size.
    const int w = 800, h = 500;
    std::vector<std::uint8_t> noise(std::size_t(w) * h * 4);
    std::mt19937 random(7);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    JpegEncoder encoder;
    FrameBudget budget({60'000, 60, 25});
    Jpeg jpeg;
    std::string error;
    ASSERT_TRUE(encoder.encode({noise.data(), w, h, w * 4}, 640, budget, jpeg, &error)) << error;
    EXPECT_LE(jpeg.bytes.size(), 60'000u);
    EXPECT_LT(jpeg.width, 640);
    EXPECT_NEAR(double(jpeg.height) / jpeg.width, double(h) / w, 0.01);
    EXPECT_GE(jpeg.quality, 25);
    EXPECT_GE(jpeg.attempts, 2);

    tjhandle decoder = tjInitDecompress();
    int dw = 0, dh = 0, subsampling = -1, colourspace = 0;
    EXPECT_EQ(tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(jpeg.bytes.data()), jpeg.bytes.size(),
                  &dw, &dh, &subsampling, &colourspace),
        0);
    tjDestroy(decoder);
    EXPECT_EQ(dw, jpeg.width);
    EXPECT_EQ(dh, jpeg.height);

    // The next noisy frame starts where the last one fitted: one encode.
    const int fitted = jpeg.width;
    ASSERT_TRUE(encoder.encode({noise.data(), w, h, w * 4}, 640, budget, jpeg, &error)) << error;
    EXPECT_EQ(jpeg.attempts, 1);
    EXPECT_EQ(jpeg.width, fitted);
    EXPECT_FALSE(encoder.encode({nullptr, 0, 0, 0}, 640, budget, jpeg));
}

TEST(ScreenConnection, LocalDisplayNames)
{
    const std::vector<std::pair<const char*, std::optional<int>>> cases = {
        {":0", 0}, {":12.0", 12}, {"unix:3", 3}, {":7.1", 7}, {"host:0", std::nullopt}, {"localhost:10.0", std::nullopt},
        {":", std::nullopt}, {":a", std::nullopt}, {":1.", std::nullopt}, {":-1", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [name, number] : cases)
        EXPECT_EQ(localDisplayNumber(name), number) << name;
}

} // namespace
