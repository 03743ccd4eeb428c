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
