#pragma once

#include "helper/screen/Jpeg.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct _XDisplay Display;
struct _XImage;

namespace ringlark::helper::screen {

// One window's own pixels, never what overlaps it: the window is redirected
// off screen (Composite, automatic, so the screen still shows it as before)
// and read from its pixmap, through shared memory when the server offers it.
// DAMAGE tells when it changed. Everything here runs on the session's thread.
class WindowCapture {
public:
    enum class Grab {
        Ok,
        NotShown, // unmapped (minimised, another workspace): nothing to read now
        Gone,     // the window no longer exists
        Failed,
    };

    WindowCapture(Display* display, unsigned long window);
    ~WindowCapture(); // undoes the redirection, frees what the server holds for us
    WindowCapture(const WindowCapture&) = delete;
    WindowCapture& operator=(const WindowCapture&) = delete;

    // Redirects the window and starts watching it (StructureNotify and DAMAGE
    // events arrive on the connection). False with `error` when it cannot.
    bool start(std::string* error);

    // The event type of a DAMAGE notification on this connection.
    int damageEventType() const { return m_damageEventBase; }

    // Clears the damage, then reads the window's pixels into `view` (valid
    // until the next grab). Changes from here on cause a new notification.
    Grab grab(ImageView& view);

    // Forgets the damage so far without reading: the next change brings a
    // new notification.
    void clearDamage();

    // The window was resized or shown again: name its pixmap afresh next time.
    void reset();

    bool usesSharedMemory() const { return m_shmUsable; }

private:
    bool ensureImage(int width, int height);
    void releaseImage();
    void releasePixmap();
    Grab whyNot();

    Display* m_display;
    unsigned long m_window;
    unsigned long m_damage = 0;
    int m_damageEventBase = 0;
    bool m_redirected = false;

    unsigned long m_pixmap = 0;
    int m_width = 0, m_height = 0, m_border = 0, m_depth = 0;
    void* m_visual = nullptr;

    bool m_shmUsable = false;
    _XImage* m_image = nullptr;
    bool m_imageShared = false;
    struct Shm;
    Shm* m_shm = nullptr;
    std::vector<std::uint8_t> m_converted;
};

} // namespace ringlark::helper::screen
