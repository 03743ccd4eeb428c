// A window with known content for the screen tests and bench. It prints
// "ready 0x<id>" once drawn, then one line per event it gets:
//   press <button> <x> <y>      (window coordinates)
//   key 0x<keysym>
// Patterns: "quadrants" (red, green, blue, yellow quarters and a black and
// white checker in the middle), "solid:RRGGBB", "text" (dense lines of text
// in the 6×13 fixed font, edge to edge), "prose" (an ordinary document: a
// toolbar, a heading and paragraphs at 14 px with margins and line spacing).
// A click draws a white 10×10 square where it landed (quadrants, solid) or
// scrolls the text by a line, so every click changes the picture.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string title = "Screen Test";
    std::string appClass = "ScreenTest";
    int x = 100, y = 100, width = 400, height = 300;
    std::string pattern = "quadrants";
};

unsigned long rgb(unsigned r, unsigned g, unsigned b)
{
    return (r << 16) | (g << 8) | b; // the tests run on a 24-bit TrueColor Xvfb
}

struct Window_ {
    Display* display;
    Window window;
    GC gc;
    Options options;
    std::vector<std::pair<int, int>> marks;
    int scroll = 0;
    XFontStruct* body = nullptr;
    XFontStruct* heading = nullptr;

    void fill(unsigned long colour, int x, int y, int w, int h)
    {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, window, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    }

    void paintProse(int w, int h);

    void paint()
    {
        const int w = options.width, h = options.height;
        if (options.pattern == "text") {
            fill(rgb(255, 255, 255), 0, 0, w, h);
            XSetForeground(display, gc, rgb(0, 0, 0));
            const char* words = "The quick brown fox jumps over the lazy dog 0123456789 ";
            for (int line = 0; line * 13 < h; ++line) {
                std::string text = std::to_string(line + scroll) + ": ";
                while (text.size() < 240)
                    text += words + ((line + scroll) % 11);
                XDrawString(display, window, gc, 4, 12 + line * 13, text.data(), static_cast<int>(text.size()));
            }
        } else if (options.pattern == "prose") {
            paintProse(w, h);
        } else if (options.pattern.rfind("solid:", 0) == 0) {
            fill(std::strtoul(options.pattern.c_str() + 6, nullptr, 16), 0, 0, w, h);
        } else {
            fill(rgb(255, 0, 0), 0, 0, w / 2, h / 2);
            fill(rgb(0, 255, 0), w / 2, 0, w - w / 2, h / 2);
            fill(rgb(0, 0, 255), 0, h / 2, w / 2, h - h / 2);
            fill(rgb(255, 255, 0), w / 2, h / 2, w - w / 2, h - h / 2);
            for (int cy = 0; cy < 8; ++cy)
                for (int cx = 0; cx < 8; ++cx)
                    fill((cx + cy) % 2 ? rgb(255, 255, 255) : rgb(0, 0, 0), w / 2 - 32 + cx * 8,
                        h / 2 - 32 + cy * 8, 8, 8);
        }
        if (options.pattern != "text" && options.pattern != "prose")
            for (auto [x, y] : marks)
                fill(rgb(255, 255, 255), x - 5, y - 5, 10, 10);
        XFlush(display);
    }
};

void Window_::paintProse(int w, int h)
{
    // Scalable fonts where the server has them, else the built-in one.
    if (!body)
        body = XLoadQueryFont(display, "-*-helvetica-medium-r-normal--14-*-*-*-p-*-iso8859-1");
    if (!body)
        body = XLoadQueryFont(display, "fixed");
    if (!heading)
        heading = XLoadQueryFont(display, "-*-helvetica-bold-r-normal--20-*-*-*-p-*-iso8859-1");
    if (!heading)
        heading = body;
    fill(rgb(255, 255, 255), 0, 0, w, h);

    const std::string words = "Release notes for the spring update describe how the sync engine now retries "
                              "failed uploads with a growing pause, why large folders open faster, and which "
                              "settings moved to the new preferences page. Reviewers asked for clearer wording "
                              "around conflicts, so every message now names both devices and the time of the "
                              "change, and offers to keep both copies. ";
    const int margin = 48, lineHeight = 20, width = w - 2 * margin;
    int y = 34 + 40 - (scroll % 20) * lineHeight / 2;
    for (int paragraph = scroll / 20; y < h + lineHeight; ++paragraph) {
        XSetFont(display, gc, heading->fid);
        XSetForeground(display, gc, rgb(20, 70, 160));
        const std::string title = std::to_string(paragraph + 1) + ". Changes in this release";
        XDrawString(display, window, gc, margin, y, title.data(), int(title.size()));
        y += lineHeight + 12;
        XSetFont(display, gc, body->fid);
        XSetForeground(display, gc, rgb(34, 34, 34));
        // Four paragraphs of wrapped text under each heading.
        for (int part = 0; part < 4 && y < h + lineHeight; ++part) {
            std::string text = words.substr(std::size_t(paragraph + part) * 37 % 200) + words;
            text.resize(300 + std::size_t((paragraph * 5 + part * 3) % 7) * 40);
            std::size_t start = 0;
            while (start < text.size() && y < h + lineHeight) {
                std::size_t end = start, fits = start;
                while (end < text.size()) {
                    std::size_t next = text.find(' ', end + 1);
                    if (next == std::string::npos)
                        next = text.size();
                    if (XTextWidth(body, text.data() + start, int(next - start)) > width)
                        break;
                    fits = end = next;
                }
                if (fits == start)
                    fits = text.size();
                XDrawString(display, window, gc, margin, y, text.data() + start, int(fits - start));
                y += lineHeight;
                start = fits + 1;
            }
            y += 10;
        }
        y += 14;
    }
    // The toolbar last: the document scrolls under it.
    fill(rgb(236, 236, 236), 0, 0, w, 34);
    fill(rgb(200, 200, 200), 0, 34, w, 1);
    XSetFont(display, gc, body->fid);
    XSetForeground(display, gc, rgb(40, 40, 40));
    const char* menu[] = {"File", "Edit", "View", "Insert", "Format", "Tools", "Help"};
    for (int i = 0, x = 12; i < 7; x += XTextWidth(body, menu[i], int(std::strlen(menu[i]))) + 24, ++i)
        XDrawString(display, window, gc, x, 22, menu[i], int(std::strlen(menu[i])));
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        std::string value = argv[i + 1];
        if (flag == "--title")
            options.title = value;
        else if (flag == "--class")
            options.appClass = value;
        else if (flag == "--pattern")
            options.pattern = value;
        else if (flag == "--geometry")
            std::sscanf(value.c_str(), "%dx%d+%d+%d", &options.width, &options.height, &options.x, &options.y);
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options = parse(argc, argv);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = rgb(0, 0, 0);
    attributes.event_mask = ExposureMask | ButtonPressMask | KeyPressMask | StructureNotifyMask;
    Window window = XCreateWindow(display, RootWindow(display, screen), options.x, options.y,
        static_cast<unsigned>(options.width), static_cast<unsigned>(options.height), 0, CopyFromParent, InputOutput,
        CopyFromParent, CWBackPixel | CWEventMask, &attributes);

    XStoreName(display, window, "legacy name");
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
        reinterpret_cast<const unsigned char*>(options.title.data()), static_cast<int>(options.title.size()));
    XClassHint hint{const_cast<char*>("screentest"), const_cast<char*>(options.appClass.c_str())};
    XSetClassHint(display, window, &hint);
    const long pid = getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
        reinterpret_cast<const unsigned char*>(&pid), 1);
    XSizeHints size{};
    size.flags = USPosition | USSize;
    size.x = options.x, size.y = options.y, size.width = options.width, size.height = options.height;
    XSetWMNormalHints(display, window, &size);

    Window_ state{display, window, XCreateGC(display, window, 0, nullptr), options, {}, 0, nullptr, nullptr};
    XMapWindow(display, window);

    bool ready = false;
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0) {
                state.paint();
                if (!ready) {
                    XSync(display, False);
                    std::printf("ready 0x%lx\n", window);
                    ready = true;
                }
            }
            break;
        case ButtonPress:
            std::printf("press %u %d %d\n", event.xbutton.button, event.xbutton.x, event.xbutton.y);
            if (event.xbutton.button == 1) {
                state.marks.emplace_back(event.xbutton.x, event.xbutton.y);
                ++state.scroll;
                state.paint();
            }
            break;
        case KeyPress: {
            char text[16];
            KeySym keysym = NoSymbol;
            XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
            if (!IsModifierKey(keysym))
                std::printf("key 0x%lx\n", keysym);
            break;
        }
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        case ConfigureNotify:
            state.options.width = event.xconfigure.width;
            state.options.height = event.xconfigure.height;
            break;
        default:
            break;
        }
    }
}
