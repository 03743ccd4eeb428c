#include "helper/screen/Capture.h"

#include "helper/screen/XConnection.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>

namespace ringlark::helper::screen {

struct WindowCapture::Shm {
    XShmSegmentInfo info{};
    bool attached = false;
};

WindowCapture::WindowCapture(Display* display, unsigned long window)
    : m_display(display)
    , m_window(window)
{
}

WindowCapture::~WindowCapture()
{
    ErrorTrap trap(m_display); // the window may be gone already
    releaseImage();
    releasePixmap();
    if (m_damage)
        XDamageDestroy(m_display, m_damage);
    if (m_redirected)
        XCompositeUnredirectWindow(m_display, m_window, CompositeRedirectAutomatic);
}

bool WindowCapture::start(std::string* error)
{
    int errorBase = 0;
    if (!XDamageQueryExtension(m_display, &m_damageEventBase, &errorBase)) {
        *error = "The X server lacks the DAMAGE extension.";
        return false;
    }
    m_damageEventBase += XDamageNotify;
    m_shmUsable = XShmQueryExtension(m_display);

    ErrorTrap trap(m_display);
    XSelectInput(m_display, m_window, StructureNotifyMask);
    XCompositeRedirectWindow(m_display, m_window, CompositeRedirectAutomatic);
    m_redirected = true;
    m_damage = XDamageCreate(m_display, m_window, XDamageReportNonEmpty);
    if (auto failed = trap.check()) {
        *error = failed->code == BadWindow ? "The window was closed." : "The window cannot be captured.";
        return false;
    }
    return true;
}

void WindowCapture::clearDamage()
{
    XDamageSubtract(m_display, m_damage, None, None);
}

void WindowCapture::reset()
{
    ErrorTrap trap(m_display);
    releasePixmap();
}

void WindowCapture::releasePixmap()
{
    if (m_pixmap)
        XFreePixmap(m_display, m_pixmap);
    m_pixmap = 0;
}

void WindowCapture::releaseImage()
{
    if (m_shm) {
        if (m_shm->attached)
            XShmDetach(m_display, &m_shm->info);
        if (m_shm->info.shmaddr && m_shm->info.shmaddr != reinterpret_cast<char*>(-1))
            shmdt(m_shm->info.shmaddr);
        delete m_shm;
        m_shm = nullptr;
    }
    if (m_image) {
        if (m_imageShared)
            m_image->data = nullptr; // the segment is not Xlib's to free
        XDestroyImage(m_image);
        m_image = nullptr;
    }
    m_imageShared = false;
}

// A shared image of the window's size, made once per size. Shared memory
// fails across machines (ssh -X): then plain XGetImage from then on.
bool WindowCapture::ensureImage(int width, int height)
{
    if (m_image && m_imageShared && m_image->width == width && m_image->height == height)
        return true;
    releaseImage();
    if (!m_shmUsable)
        return false;
    auto* visual = static_cast<Visual*>(m_visual);
    m_shm = new Shm;
    m_image = XShmCreateImage(m_display, visual, static_cast<unsigned>(m_depth), ZPixmap, nullptr, &m_shm->info,
        static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!m_image) {
        releaseImage();
        m_shmUsable = false;
        return false;
    }
    m_imageShared = true;
    m_shm->info.shmid = shmget(IPC_PRIVATE, std::size_t(m_image->bytes_per_line) * m_image->height, IPC_CREAT | 0600);
    if (m_shm->info.shmid < 0) {
        releaseImage();
        m_shmUsable = false;
        return false;
    }
    m_shm->info.shmaddr = static_cast<char*>(shmat(m_shm->info.shmid, nullptr, 0));
    if (m_shm->info.shmaddr == reinterpret_cast<char*>(-1)) {
        shmctl(m_shm->info.shmid, IPC_RMID, nullptr);
        releaseImage();
        m_shmUsable = false;
        return false;
    }
    m_image->data = m_shm->info.shmaddr;
    m_shm->info.readOnly = False;
    ErrorTrap trap(m_display);
    XShmAttach(m_display, &m_shm->info);
    const bool attached = !trap.check();
    // Removed now, freed once both sides detach, even if this process dies.
    shmctl(m_shm->info.shmid, IPC_RMID, nullptr);
    m_shm->attached = attached;
    if (!attached) {
        releaseImage();
        m_shmUsable = false;
        return false;
    }
    return true;
}

WindowCapture::Grab WindowCapture::whyNot()
{
    ErrorTrap trap(m_display);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_display, m_window, &attributes))
        return connectionLost(m_display) ? Grab::Failed : Grab::Gone;
    return attributes.map_state == IsViewable ? Grab::Failed : Grab::NotShown;
}

WindowCapture::Grab WindowCapture::grab(ImageView& view)
{
    if (!m_pixmap) {
        ErrorTrap trap(m_display);
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_display, m_window, &attributes))
            return connectionLost(m_display) ? Grab::Failed : Grab::Gone;
        if (attributes.map_state != IsViewable)
            return Grab::NotShown;
        m_pixmap = XCompositeNameWindowPixmap(m_display, m_window);
        if (trap.check()) {
            m_pixmap = 0;
            return whyNot();
        }
        if (attributes.width != m_width || attributes.height != m_height || attributes.depth != m_depth
            || attributes.visual != m_visual)
            releaseImage();
        m_width = attributes.width;
        m_height = attributes.height;
        m_border = attributes.border_width;
        m_depth = attributes.depth;
        m_visual = attributes.visual;
    }

    XDamageSubtract(m_display, m_damage, None, None);
    bool read = false;
    if (ensureImage(m_width, m_height)) {
        ErrorTrap trap(m_display);
        read = XShmGetImage(m_display, m_pixmap, m_image, m_border, m_border, AllPlanes) && !trap.check();
    } else {
        ErrorTrap trap(m_display);
        XImage* image = XGetImage(m_display, m_pixmap, m_border, m_border, static_cast<unsigned>(m_width),
            static_cast<unsigned>(m_height), AllPlanes, ZPixmap);
        if (image && !trap.check()) {
            releaseImage();
            m_image = image;
            read = true;
        } else if (image) {
            XDestroyImage(image);
        }
    }
    if (!read) {
        ErrorTrap trap(m_display);
        releasePixmap();
        return whyNot();
    }

    // Shared images carry no channel masks (XShmCreateImage leaves them 0):
    // the visual has them.
    const auto* visual = static_cast<const Visual*>(m_visual);
    const unsigned long red = visual->red_mask, green = visual->green_mask, blue = visual->blue_mask;
    const bool bgrx = m_image->bits_per_pixel == 32 && m_image->byte_order == LSBFirst && red == 0xff0000
        && green == 0xff00 && blue == 0xff;
    if (bgrx) {
        view = {reinterpret_cast<const std::uint8_t*>(m_image->data), m_width, m_height, m_image->bytes_per_line};
        return Grab::Ok;
    }
    // Anything else (16-bit screens, other byte orders): pixel by pixel.
    const auto channel = [](unsigned long pixel, unsigned long mask) -> std::uint8_t {
        if (!mask)
            return 0;
        const int shift = std::countr_zero(mask);
        const unsigned long value = (pixel & mask) >> shift;
        const unsigned long most = mask >> shift;
        return static_cast<std::uint8_t>(value * 255 / most);
    };
    m_converted.resize(std::size_t(m_width) * m_height * 4);
    std::uint8_t* out = m_converted.data();
    for (int y = 0; y < m_height; ++y) {
        for (int x = 0; x < m_width; ++x) {
            const unsigned long pixel = XGetPixel(m_image, x, y);
            out[0] = channel(pixel, blue);
            out[1] = channel(pixel, green);
            out[2] = channel(pixel, red);
            out[3] = 0xff;
            out += 4;
        }
    }
    view = {m_converted.data(), m_width, m_height, m_width * 4};
    return Grab::Ok;
}

} // namespace ringlark::helper::screen
