// brilox.display: brings up SDL's video subsystem and a software display
// surface for the other modules to draw on, and reads SDL's event queue.
#include "api_tables.hpp"
#include "pinhold.h"

#include <SDL.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *api_slots[api::importer_slot_count];

PyObject *raise_sdl_error()
{
    return api::raise_library_error(api_slots, SDL_GetError());
}

bool video_ready()
{
    if (SDL_WasInit(SDL_INIT_VIDEO))
        return true;
    api::raise_library_error(api_slots, "video system not initialized");
    return false;
}

// SDL keeps a display surface without a pixel format after its video
// subsystem restarts (sdl12-compat from 1.2.66 on does): no mode is set then.
SDL_Surface *current_mode()
{
    SDL_Surface *surface = SDL_GetVideoSurface();
    return surface != nullptr && surface->format != nullptr ? surface : nullptr;
}

SDL_Surface *display_surface()
{
    if (!video_ready())
        return nullptr;
    SDL_Surface *surface = current_mode();
    if (surface == nullptr)
        api::raise_library_error(api_slots, "Display mode not set");
    return surface;
}

// The brilox.surface.Surface that get_surface() gave for the current mode,
// or null.  It is ended before the mode goes, while its pixels are still
// there, and refuses to end while buffer views of it are out: their pixels
// would go with the mode.
PyObject *shown_surface = nullptr;

bool end_shown_surface()
{
    if (shown_surface == nullptr)
        return true;
    Ref ended = Ref::steal(PyObject_CallMethod(shown_surface, "_end_display", nullptr));
    if (!ended)
        return false;
    Py_CLEAR(shown_surface);
    return true;
}

// Lets the other modules release what they made for the display (base slot
// 2) while SDL can still free it.
void run_quit_hooks()
{
    auto run = reinterpret_cast<api::RunQuitHooks>(
        api_slots[api::base_first + api::base_run_quit_hooks_slot]);
    if (run != nullptr)
        run();
}

// The desktop's size, read as the video subsystem comes up.  Classic SDL
// tells it only until a mode is set, and from then on reports that mode's
// size, a window's too; SDL over SDL 2 goes on reporting the desktop's.
// Classic SDL's dummy driver tells nothing and leaves it (0, 0); over SDL 2
// the dummy desktop is SDL 2's, 1024 x 768.
int desktop_w, desktop_h;

// --- opening the X display --------------------------------------------------
//
// Classic SDL opens the X display, closes it and at once opens it again as
// its video comes up (once to see that X is there, once to use it).  An X
// server that resets when its last client leaves (Xvfb, or Xorg started
// without -noreset) takes that close as its cue, and a connection made while
// it resets is refused: SDL then fails with "Couldn't open X11 display", a
// third of the starts or more on a server nobody else is using.  So while
// SDL's video comes up, brilox holds a connection of its own: the server
// keeps a client throughout and does not reset.  That connection is itself
// retried for a while, as it may meet a reset that another program's exit
// began, or a server that is still starting.  Xlib is loaded at run time, as
// SDL may load it: a process without X never needs it.

// How long the display is waited for before SDL's error is said.
constexpr auto x_deadline = std::chrono::milliseconds(1000);
// The pause between two tries.
constexpr Uint32 x_retry_ms = 10;

// Whether SDL's video is to run on X: DISPLAY names a display and no other
// driver is asked for.
bool x11_wanted()
{
    const char *driver = std::getenv("SDL_VIDEODRIVER");
    const char *name = std::getenv("DISPLAY");
    return (driver == nullptr || *driver == '\0' || std::strcmp(driver, "x11") == 0)
        && name != nullptr && *name != '\0';
}

// SDL's words when X could not be reached: the X driver's own, or, where
// the first look found no X server, that no driver was left.
bool x11_failure(const char *error)
{
    return error != nullptr && (std::strstr(error, "X11") != nullptr
                                || std::strstr(error, "No available video device") != nullptr);
}

struct Xlib {
    void *(*open)(const char *) = nullptr;
    int (*close)(void *) = nullptr;
};

// Xlib's two calls, or none where libX11 cannot be loaded.  The library
// stays loaded for the life of the process.
const Xlib &xlib()
{
    static const Xlib found = [] {
        Xlib x;
        void *library = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr)
            return x;
        void *open = dlsym(library, "XOpenDisplay");
        void *close = dlsym(library, "XCloseDisplay");
        if (open != nullptr && close != nullptr) {
            x.open = reinterpret_cast<void *(*)(const char *)>(open);
            x.close = reinterpret_cast<int (*)(void *)>(close);
        }
        return x;
    }();
    return found;
}

// A connection to the X display, held while it lives.
class XHold {
public:
    XHold() = default;
    XHold(const XHold &) = delete;
    XHold &operator=(const XHold &) = delete;
    ~XHold() { release(); }
    bool try_open()
    {
        if (connection_ == nullptr && xlib().open != nullptr)
            connection_ = xlib().open(nullptr);
        return connection_ != nullptr;
    }
    void release()
    {
        if (connection_ != nullptr)
            xlib().close(connection_);
        connection_ = nullptr;
    }

private:
    void *connection_ = nullptr;
};

// Waits a little with the interpreter lock let go; false (an exception set)
// where a signal handler raised meanwhile.
bool pause_before_retry()
{
    Py_BEGIN_ALLOW_THREADS
    SDL_Delay(x_retry_ms);
    Py_END_ALLOW_THREADS
    return PyErr_CheckSignals() == 0;
}

PyObject *display_init(PyObject *, PyObject *)
{
    XHold hold;
    const bool x11 = !SDL_WasInit(SDL_INIT_VIDEO) && x11_wanted();
    const auto deadline = std::chrono::steady_clock::now() + x_deadline;
    if (x11 && xlib().open != nullptr) {
        while (!hold.try_open() && std::chrono::steady_clock::now() < deadline)
            if (!pause_before_retry())
                return nullptr;
    }
    // SDL_InitSubSystem, unlike SDL_Init, installs no handlers for fatal
    // signals, which would take over the interpreter's.  (SDL's event
    // start-up still turns a SIGTERM left at its default into a quit event.)
    while (SDL_InitSubSystem(SDL_INIT_VIDEO) < 0) {
        if (!x11 || !x11_failure(SDL_GetError())
            || std::chrono::steady_clock::now() >= deadline)
            return raise_sdl_error();
        if (!pause_before_retry())
            return nullptr;
        hold.try_open();
    }
    // SDL's own connection now keeps the server from resetting.
    hold.release();
    // A second init() while a mode is set changes nothing in SDL, and SDL
    // would report that mode: the size read before stays.
    if (current_mode() == nullptr) {
        const SDL_VideoInfo *info = SDL_GetVideoInfo();
        desktop_w = info != nullptr ? std::max(info->current_w, 0) : 0;
        desktop_h = info != nullptr ? std::max(info->current_h, 0) : 0;
    }
    return brilox::none();
}

PyObject *display_quit(PyObject *, PyObject *)
{
    if (!end_shown_surface())
        return nullptr;
    run_quit_hooks();
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return brilox::none();
}

PyObject *display_get_init(PyObject *, PyObject *)
{
    return PyBool_FromLong(SDL_WasInit(SDL_INIT_VIDEO) != 0);
}

// The window flags set_mode passes on.  The display stays a software
// surface; SDL_OPENGL and the hardware flags would take it from the modules
// that draw on it.
constexpr Uint32 window_flags = SDL_RESIZABLE | SDL_FULLSCREEN | SDL_NOFRAME;

PyObject *display_set_mode(PyObject *, PyObject *args)
{
    int width = 0, height = 0, depth = 32;
    PyObject *flags_arg = nullptr;
    if (!PyArg_ParseTuple(args, "(ii)|iO!", &width, &height, &depth, &PyLong_Type, &flags_arg))
        return nullptr;
    unsigned long flags = 0;
    if (flags_arg != nullptr) {
        flags = PyLong_AsUnsignedLong(flags_arg);
        if (flags == static_cast<unsigned long>(-1) && PyErr_Occurred())
            return nullptr;
    }
    if (width <= 0 || height <= 0) {
        PyErr_SetString(PyExc_ValueError, "display size must be positive");
        return nullptr;
    }
    // Other depths (15 among them) make the dummy driver corrupt the heap.
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        PyErr_SetString(PyExc_ValueError, "display depth must be 8, 16, 24 or 32");
        return nullptr;
    }
    if ((flags & ~static_cast<unsigned long>(window_flags)) != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "display flags may only be RESIZABLE, FULLSCREEN and NOFRAME");
        return nullptr;
    }
    if (!video_ready() || !end_shown_surface())
        return nullptr;
    // A mode of another depth ends what was made for the display: SDL over
    // SDL 2 destroys its renderer, and with it every overlay's texture, even
    // when a later mode brings the old depth back.  Another size or other
    // window flags at the same depth keep them: both builds keep the display
    // surface's record and pixel format, and SDL clips what it shows to the
    // new size.
    const SDL_Surface *old_mode = current_mode();
    if (old_mode != nullptr && old_mode->format->BitsPerPixel != depth)
        run_quit_hooks();
    SDL_Surface *mode =
        SDL_SetVideoMode(width, height, depth, SDL_SWSURFACE | static_cast<Uint32>(flags));
    if (mode == nullptr)
        return raise_sdl_error();
    // Every mode starts black.  Classic SDL clears a new display surface;
    // SDL over SDL 2 hands back whatever its allocator had in that memory,
    // which shows as noise wherever nothing is drawn, such as the borders
    // around a letterboxed overlay.
    if (SDL_FillRect(mode, nullptr, 0) < 0)
        return raise_sdl_error();
    return brilox::none();
}

// SDL 1.2 switches a window to full screen and back in place only on some
// drivers (X11 among them); elsewhere it reports failure and the caller sets
// the mode again with SDL_FULLSCREEN toggled.
PyObject *display_toggle_fullscreen(PyObject *, PyObject *)
{
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    return PyBool_FromLong(SDL_WM_ToggleFullScreen(surface) != 0);
}

PyObject *display_get_desktop_size(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    return Py_BuildValue("(ii)", desktop_w, desktop_h);
}

// The full-screen sizes SDL offers at the display's format, largest first.
// SDL answers (SDL_Rect **)-1 when any size will do, and no list when there
// are none.  The list is SDL's own: it is copied before anything else runs.
PyObject *display_list_modes(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    SDL_Rect **modes = SDL_ListModes(nullptr, SDL_FULLSCREEN | SDL_SWSURFACE);
    if (modes == reinterpret_cast<SDL_Rect **>(-1))
        return brilox::none();
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return nullptr;
    for (; modes != nullptr && *modes != nullptr; ++modes) {
        Ref size = Ref::steal(Py_BuildValue("(ii)", (*modes)->w, (*modes)->h));
        if (!size || PyList_Append(list.get(), size.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *display_get_size(PyObject *, PyObject *)
{
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    return Py_BuildValue("(ii)", surface->w, surface->h);
}

// The display surface as a brilox.surface.Surface, the same one until the
// mode ends.  It does not own SDL's surface.
PyObject *display_get_surface(PyObject *, PyObject *)
{
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    if (shown_surface != nullptr) {
        if (reinterpret_cast<SurfaceObject *>(shown_surface)->surf == surface)
            return Ref::borrow(shown_surface).release();
        // SDL's video went on without this module (it was shut down and
        // brought up by another): that Surface says so itself.
        Py_CLEAR(shown_surface);
    }
    Ref module = Ref::steal(PyImport_ImportModule("brilox.surface"));
    if (!module)
        return nullptr;
    Ref made = Ref::steal(PyObject_CallMethod(module.get(), "_display_surface", nullptr));
    if (!made)
        return nullptr;
    shown_surface = Ref::borrow(made.get()).release();
    return made.release();
}

PyObject *display_flip(PyObject *, PyObject *)
{
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    if (SDL_Flip(surface) < 0)
        return raise_sdl_error();
    return brilox::none();
}

PyObject *display_pump(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    SDL_PumpEvents();
    return brilox::none();
}

// Takes every event off SDL's queue: left there, they would fill it, and
// SDL drops what comes after, a window close among them.  The keyboard state
// that brilox.key reads is kept apart from the queue and does not change.
PyObject *display_quit_requested(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    SDL_Event events[32];
    bool quit = false;
    int count = 0;
    while ((count = SDL_PeepEvents(events, 32, SDL_GETEVENT, SDL_ALLEVENTS)) > 0)
        for (int i = 0; i < count; ++i)
            quit = quit || events[i].type == SDL_QUIT;
    return PyBool_FromLong(quit);
}

// --- events ----------------------------------------------------------------

// One event as a structure sequence: its type and the fields of every kind
// a program needs, those of other kinds 0.
enum EventField { F_TYPE, F_KEY, F_MOD, F_BUTTON, F_X, F_Y, F_W, F_H, F_GAIN, F_STATE, F_COUNT };

PyStructSequence_Field event_fields[] = {
    {"type", "SDL's event type: KEYDOWN, KEYUP, QUIT, VIDEORESIZE, ..."},
    {"key", "KEYDOWN, KEYUP: SDL's key symbol"},
    {"mod", "KEYDOWN, KEYUP: the modifier keys held"},
    {"button", "MOUSEBUTTONDOWN, MOUSEBUTTONUP: the button"},
    {"x", "MOUSEBUTTONDOWN, MOUSEBUTTONUP, MOUSEMOTION: the pointer's column"},
    {"y", "MOUSEBUTTONDOWN, MOUSEBUTTONUP, MOUSEMOTION: the pointer's row"},
    {"w", "VIDEORESIZE: the window's new width"},
    {"h", "VIDEORESIZE: the window's new height"},
    {"gain", "ACTIVEEVENT: 1 if the focus was gained, 0 if lost"},
    {"state", "ACTIVEEVENT: which focus, APPMOUSEFOCUS, APPINPUTFOCUS or APPACTIVE"},
    {nullptr, nullptr},
};

PyStructSequence_Desc event_desc = {
    "brilox.display.Event",
    "Event(sequence, dict={})\n--\n\n"
    "An SDL event: its type, and the fields that belong to it (the others are 0).",
    event_fields,
    F_COUNT,
};

// Made by the module entry.  A heap type, so that an entry that failed part
// way (out of memory) leaves nothing half made for the next attempt.
PyTypeObject *event_type;

// Before 3.10 a heap type keeps its docstring without the signature line,
// where inspect looks for it: Event is given the whole text back, in memory
// from PyObject_Malloc, which the type frees it with.
bool keep_event_signature(PyTypeObject *type)
{
    if (type->tp_doc == nullptr || std::strcmp(type->tp_doc, event_desc.doc) == 0)
        return true;
    const std::size_t size = std::strlen(event_desc.doc) + 1;
    auto *doc = static_cast<char *>(PyObject_Malloc(size));
    if (doc == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(doc, event_desc.doc, size);
    PyObject_Free(const_cast<char *>(type->tp_doc));
    type->tp_doc = doc;
    return true;
}

PyObject *event_object(const SDL_Event &event)
{
    long fields[F_COUNT] = {};
    fields[F_TYPE] = event.type;
    switch (event.type) {
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        fields[F_KEY] = event.key.keysym.sym;
        fields[F_MOD] = event.key.keysym.mod;
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        fields[F_BUTTON] = event.button.button;
        fields[F_X] = event.button.x;
        fields[F_Y] = event.button.y;
        break;
    case SDL_MOUSEMOTION:
        fields[F_X] = event.motion.x;
        fields[F_Y] = event.motion.y;
        break;
    case SDL_VIDEORESIZE:
        fields[F_W] = event.resize.w;
        fields[F_H] = event.resize.h;
        break;
    case SDL_ACTIVEEVENT:
        fields[F_GAIN] = event.active.gain;
        fields[F_STATE] = event.active.state;
        break;
    default:
        break;
    }
    Ref object = Ref::steal(PyStructSequence_New(event_type));
    if (!object)
        return nullptr;
    for (int i = 0; i < F_COUNT; ++i) {
        PyObject *value = PyLong_FromLong(fields[i]);
        if (value == nullptr)
            return nullptr;
        PyStructSequence_SET_ITEM(object.get(), i, value);
    }
    return object.release();
}

// Events leave SDL's queue only once their objects exist, so a failure
// (out of memory) loses none: they are read at the head with SDL_PEEKEVENT,
// then the same number taken from the head.  Nothing else takes from the
// queue while the interpreter lock is held; SDL only adds at the tail.
bool take_events(SDL_Event *events, int count)
{
    if (SDL_PeepEvents(events, count, SDL_GETEVENT, SDL_ALLEVENTS) == count)
        return true;
    raise_sdl_error();
    return false;
}

// SDL 1.2's queue holds 127 events (128 over SDL 2), so one batch of this
// size empties it.  A larger queue would give the rest to the next call.
constexpr int poll_batch = 128;

PyObject *display_poll_events(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    SDL_PumpEvents();
    SDL_Event events[poll_batch];
    const int count = SDL_PeepEvents(events, poll_batch, SDL_PEEKEVENT, SDL_ALLEVENTS);
    if (count < 0)
        return raise_sdl_error();
    Ref list = Ref::steal(PyList_New(count));
    if (!list)
        return nullptr;
    for (int i = 0; i < count; ++i) {
        PyObject *object = event_object(events[i]);
        if (object == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, object);
    }
    if (count > 0 && !take_events(events, count))
        return nullptr;
    return list.release();
}

// SDL 1.2 has no wait with a deadline: the queue is polled every few
// milliseconds, sleeping without the interpreter lock between polls, and
// a signal (Ctrl-C) ends the wait with its handler's exception.
constexpr Uint32 wait_step_ms = 5;

PyObject *display_wait_event(PyObject *, PyObject *args)
{
    int timeout = 0;
    if (!PyArg_ParseTuple(args, "i", &timeout))
        return nullptr;
    if (timeout < 0) {
        PyErr_SetString(PyExc_ValueError, "timeout must not be negative");
        return nullptr;
    }
    const Uint32 start = SDL_GetTicks();
    for (;;) {
        // Another thread may shut video down while this one sleeps.
        if (!video_ready())
            return nullptr;
        SDL_PumpEvents();
        SDL_Event event;
        const int count = SDL_PeepEvents(&event, 1, SDL_PEEKEVENT, SDL_ALLEVENTS);
        if (count < 0)
            return raise_sdl_error();
        if (count == 1) {
            Ref object = Ref::steal(event_object(event));
            if (!object || !take_events(&event, 1))
                return nullptr;
            return object.release();
        }
        const Uint32 waited = SDL_GetTicks() - start;
        if (waited >= static_cast<Uint32>(timeout))
            return brilox::none();
        if (PyErr_CheckSignals() < 0)
            return nullptr;
        const Uint32 step = std::min(static_cast<Uint32>(timeout) - waited, wait_step_ms);
        Py_BEGIN_ALLOW_THREADS
        SDL_Delay(step);
        Py_END_ALLOW_THREADS
    }
}

// Puts an event of one of the types SDL keeps for programs (SDL_USEREVENT
// up to SDL_NUMEVENTS - 1) on SDL's queue, its other fields 0, for
// poll_events() and wait_event() to read.  SDL_PushEvent locks the queue, so
// any thread may post.  It fails when the queue is full, and neither SDL
// build sets its error text then: the reason is given where SDL gives none.
PyObject *display_post_event(PyObject *, PyObject *arg)
{
    Ref index = Ref::steal(PyNumber_Index(arg));
    if (!index)
        return nullptr;
    int overflow = 0;
    const long type = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (type == -1 && PyErr_Occurred())
        return nullptr;
    if (overflow != 0 || type < SDL_USEREVENT || type >= SDL_NUMEVENTS) {
        PyErr_Format(PyExc_ValueError, "event type must be from USEREVENT (%d) to %d",
                     static_cast<int>(SDL_USEREVENT), static_cast<int>(SDL_NUMEVENTS) - 1);
        return nullptr;
    }
    if (!video_ready())
        return nullptr;
    SDL_Event event;
    std::memset(&event, 0, sizeof event);
    event.type = static_cast<Uint8>(type);
    if (SDL_PushEvent(&event) == 0)
        return brilox::none();
    // SDL's error text is touched only once it has refused: over SDL 2, its
    // first use on a thread that SDL did not start allocates a record for
    // that thread that is never freed.  It is cleared and the event tried
    // once more, so that an older error is not given as the reason.
    SDL_ClearError();
    if (SDL_PushEvent(&event) == 0)
        return brilox::none();
    const char *error = SDL_GetError();
    return api::raise_library_error(
        api_slots, error != nullptr && *error != '\0' ? error : "SDL's event queue is full");
}

PyObject *display_set_caption(PyObject *, PyObject *args)
{
    const char *title = nullptr;
    if (!PyArg_ParseTuple(args, "s", &title))
        return nullptr;
    SDL_WM_SetCaption(title, title);
    return brilox::none();
}

PyObject *display_save(PyObject *, PyObject *args)
{
    PyObject *path_bytes = nullptr;
    if (!PyArg_ParseTuple(args, "O&", PyUnicode_FSConverter, &path_bytes))
        return nullptr;
    Ref path = Ref::steal(path_bytes);
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    if (SDL_SaveBMP(surface, PyBytes_AS_STRING(path.get())) < 0)
        return raise_sdl_error();
    return brilox::none();
}

PyMethodDef display_methods[] = {
    {"init", display_init, METH_NOARGS,
     "init($module, /)\n--\n\ninitialise SDL's video subsystem"},
    {"quit", display_quit, METH_NOARGS,
     "quit($module, /)\n--\n\nshut SDL's video subsystem down"},
    {"get_init", display_get_init, METH_NOARGS,
     "get_init($module, /)\n--\n\ntrue if SDL's video subsystem is initialised"},
    {"set_mode", display_set_mode, METH_VARARGS,
     "set_mode($module, size, depth=32, flags=0, /)\n--\n\n"
     "open a software display surface of size (width, height), cleared to black;\n"
     "flags may combine RESIZABLE, FULLSCREEN and NOFRAME"},
    {"toggle_fullscreen", display_toggle_fullscreen, METH_NOARGS,
     "toggle_fullscreen($module, /)\n--\n\nswitch between window and full screen in place;\n"
     "false where SDL cannot (set the mode again instead)"},
    {"get_size", display_get_size, METH_NOARGS,
     "get_size($module, /)\n--\n\nthe size of the display surface, (width, height)"},
    {"get_desktop_size", display_get_desktop_size, METH_NOARGS,
     "get_desktop_size($module, /)\n--\n\nthe desktop's size, (width, height), as SDL told it\n"
     "when init() brought video up, before any mode; (0, 0) where SDL does not tell"},
    {"list_modes", display_list_modes, METH_NOARGS,
     "list_modes($module, /)\n--\n\nthe full-screen sizes SDL offers, a list of (width, height),\n"
     "largest first; None when any size will do, [] when there are none"},
    {"get_surface", display_get_surface, METH_NOARGS,
     "get_surface($module, /)\n--\n\nthe display surface as a brilox.surface.Surface to draw\n"
     "on, the same one until set_mode() or quit() ends it; those refuse while\n"
     "buffer views of it are out"},
    {"flip", display_flip, METH_NOARGS, "flip($module, /)\n--\n\nshow the display surface"},
    {"pump", display_pump, METH_NOARGS,
     "pump($module, /)\n--\n\nlet SDL process pending events"},
    {"quit_requested", display_quit_requested, METH_NOARGS,
     "quit_requested($module, /)\n--\n\n"
     "true if the window was asked to close since the last call;\n"
     "empties SDL's event queue (call pump() first)"},
    {"poll_events", display_poll_events, METH_NOARGS,
     "poll_events($module, /)\n--\n\n"
     "take every pending event off SDL's queue, a list of Event, oldest first"},
    {"wait_event", display_wait_event, METH_VARARGS,
     "wait_event($module, timeout_ms, /)\n--\n\ntake the next event off SDL's queue, waiting\n"
     "up to timeout_ms milliseconds for one; None when none came"},
    {"post_event", display_post_event, METH_O,
     "post_event($module, type, /)\n--\n\nput an Event of type on SDL's queue, its other\n"
     "fields 0; type is from USEREVENT to USEREVENT + 7, and any thread may post"},
    {"set_caption", display_set_caption, METH_VARARGS,
     "set_caption($module, title, /)\n--\n\nset the window title"},
    {"save", display_save, METH_VARARGS,
     "save($module, path, /)\n--\n\nwrite the display surface to a BMP file"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef display_module = {
    PyModuleDef_HEAD_INIT,
    "display",
    "brilox module to control the display",
    -1,
    display_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct Constant {
    const char *name;
    unsigned long value;
};

// SDL's own codes, for the events and flags a program reads.
const Constant constants[] = {
    {"NOEVENT", SDL_NOEVENT},
    {"ACTIVEEVENT", SDL_ACTIVEEVENT},
    {"KEYDOWN", SDL_KEYDOWN},
    {"KEYUP", SDL_KEYUP},
    {"MOUSEMOTION", SDL_MOUSEMOTION},
    {"MOUSEBUTTONDOWN", SDL_MOUSEBUTTONDOWN},
    {"MOUSEBUTTONUP", SDL_MOUSEBUTTONUP},
    {"QUIT", SDL_QUIT},
    {"VIDEORESIZE", SDL_VIDEORESIZE},
    {"VIDEOEXPOSE", SDL_VIDEOEXPOSE},
    {"USEREVENT", SDL_USEREVENT},
    {"SWSURFACE", SDL_SWSURFACE},
    {"RESIZABLE", SDL_RESIZABLE},
    {"FULLSCREEN", SDL_FULLSCREEN},
    {"NOFRAME", SDL_NOFRAME},
    {"APPMOUSEFOCUS", SDL_APPMOUSEFOCUS},
    {"APPINPUTFOCUS", SDL_APPINPUTFOCUS},
    {"APPACTIVE", SDL_APPACTIVE},
    {"BUTTON_LEFT", SDL_BUTTON_LEFT},
    {"BUTTON_MIDDLE", SDL_BUTTON_MIDDLE},
    {"BUTTON_RIGHT", SDL_BUTTON_RIGHT},
    {"BUTTON_WHEELUP", SDL_BUTTON_WHEELUP},
    {"BUTTON_WHEELDOWN", SDL_BUTTON_WHEELDOWN},
};

// SDL_keysym.h whole, in its order: every key symbol SDLK_name as K_name,
// and every modifier mask KMOD_name by its own name, the four masks that
// join a left and a right key among them.
#define KEY(name) {"K_" #name, SDLK_##name}
#define MOD(name) {"KMOD_" #name, KMOD_##name}
const Constant keysyms[] = {
    KEY(UNKNOWN), KEY(FIRST), KEY(BACKSPACE), KEY(TAB), KEY(CLEAR), KEY(RETURN), KEY(PAUSE),
    KEY(ESCAPE), KEY(SPACE), KEY(EXCLAIM), KEY(QUOTEDBL), KEY(HASH), KEY(DOLLAR),
    KEY(AMPERSAND), KEY(QUOTE), KEY(LEFTPAREN), KEY(RIGHTPAREN), KEY(ASTERISK), KEY(PLUS),
    KEY(COMMA), KEY(MINUS), KEY(PERIOD), KEY(SLASH), KEY(0), KEY(1), KEY(2), KEY(3), KEY(4),
    KEY(5), KEY(6), KEY(7), KEY(8), KEY(9), KEY(COLON), KEY(SEMICOLON), KEY(LESS), KEY(EQUALS),
    KEY(GREATER), KEY(QUESTION), KEY(AT), KEY(LEFTBRACKET), KEY(BACKSLASH), KEY(RIGHTBRACKET),
    KEY(CARET), KEY(UNDERSCORE), KEY(BACKQUOTE), KEY(a), KEY(b), KEY(c), KEY(d), KEY(e), KEY(f),
    KEY(g), KEY(h), KEY(i), KEY(j), KEY(k), KEY(l), KEY(m), KEY(n), KEY(o), KEY(p), KEY(q),
    KEY(r), KEY(s), KEY(t), KEY(u), KEY(v), KEY(w), KEY(x), KEY(y), KEY(z), KEY(DELETE),
    KEY(WORLD_0), KEY(WORLD_1), KEY(WORLD_2), KEY(WORLD_3), KEY(WORLD_4), KEY(WORLD_5),
    KEY(WORLD_6), KEY(WORLD_7), KEY(WORLD_8), KEY(WORLD_9), KEY(WORLD_10), KEY(WORLD_11),
    KEY(WORLD_12), KEY(WORLD_13), KEY(WORLD_14), KEY(WORLD_15), KEY(WORLD_16), KEY(WORLD_17),
    KEY(WORLD_18), KEY(WORLD_19), KEY(WORLD_20), KEY(WORLD_21), KEY(WORLD_22), KEY(WORLD_23),
    KEY(WORLD_24), KEY(WORLD_25), KEY(WORLD_26), KEY(WORLD_27), KEY(WORLD_28), KEY(WORLD_29),
    KEY(WORLD_30), KEY(WORLD_31), KEY(WORLD_32), KEY(WORLD_33), KEY(WORLD_34), KEY(WORLD_35),
    KEY(WORLD_36), KEY(WORLD_37), KEY(WORLD_38), KEY(WORLD_39), KEY(WORLD_40), KEY(WORLD_41),
    KEY(WORLD_42), KEY(WORLD_43), KEY(WORLD_44), KEY(WORLD_45), KEY(WORLD_46), KEY(WORLD_47),
    KEY(WORLD_48), KEY(WORLD_49), KEY(WORLD_50), KEY(WORLD_51), KEY(WORLD_52), KEY(WORLD_53),
    KEY(WORLD_54), KEY(WORLD_55), KEY(WORLD_56), KEY(WORLD_57), KEY(WORLD_58), KEY(WORLD_59),
    KEY(WORLD_60), KEY(WORLD_61), KEY(WORLD_62), KEY(WORLD_63), KEY(WORLD_64), KEY(WORLD_65),
    KEY(WORLD_66), KEY(WORLD_67), KEY(WORLD_68), KEY(WORLD_69), KEY(WORLD_70), KEY(WORLD_71),
    KEY(WORLD_72), KEY(WORLD_73), KEY(WORLD_74), KEY(WORLD_75), KEY(WORLD_76), KEY(WORLD_77),
    KEY(WORLD_78), KEY(WORLD_79), KEY(WORLD_80), KEY(WORLD_81), KEY(WORLD_82), KEY(WORLD_83),
    KEY(WORLD_84), KEY(WORLD_85), KEY(WORLD_86), KEY(WORLD_87), KEY(WORLD_88), KEY(WORLD_89),
    KEY(WORLD_90), KEY(WORLD_91), KEY(WORLD_92), KEY(WORLD_93), KEY(WORLD_94), KEY(WORLD_95),
    KEY(KP0), KEY(KP1), KEY(KP2), KEY(KP3), KEY(KP4), KEY(KP5), KEY(KP6), KEY(KP7), KEY(KP8),
    KEY(KP9), KEY(KP_PERIOD), KEY(KP_DIVIDE), KEY(KP_MULTIPLY), KEY(KP_MINUS), KEY(KP_PLUS),
    KEY(KP_ENTER), KEY(KP_EQUALS), KEY(UP), KEY(DOWN), KEY(RIGHT), KEY(LEFT), KEY(INSERT),
    KEY(HOME), KEY(END), KEY(PAGEUP), KEY(PAGEDOWN), KEY(F1), KEY(F2), KEY(F3), KEY(F4),
    KEY(F5), KEY(F6), KEY(F7), KEY(F8), KEY(F9), KEY(F10), KEY(F11), KEY(F12), KEY(F13),
    KEY(F14), KEY(F15), KEY(NUMLOCK), KEY(CAPSLOCK), KEY(SCROLLOCK), KEY(RSHIFT), KEY(LSHIFT),
    KEY(RCTRL), KEY(LCTRL), KEY(RALT), KEY(LALT), KEY(RMETA), KEY(LMETA), KEY(LSUPER),
    KEY(RSUPER), KEY(MODE), KEY(COMPOSE), KEY(HELP), KEY(PRINT), KEY(SYSREQ), KEY(BREAK),
    KEY(MENU), KEY(POWER), KEY(EURO), KEY(UNDO), KEY(LAST),
    MOD(NONE), MOD(LSHIFT), MOD(RSHIFT), MOD(LCTRL), MOD(RCTRL), MOD(LALT), MOD(RALT),
    MOD(LMETA), MOD(RMETA), MOD(NUM), MOD(CAPS), MOD(MODE), MOD(RESERVED), MOD(CTRL),
    MOD(SHIFT), MOD(ALT), MOD(META),
};
#undef KEY
#undef MOD

bool add_constants(PyObject *module, std::span<const Constant> table)
{
    for (const Constant &constant : table) {
        Ref value = Ref::steal(PyLong_FromUnsignedLong(constant.value));
        if (!value || !brilox::add_to_module(module, constant.name, std::move(value)))
            return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_display(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    Ref type = Ref::steal(reinterpret_cast<PyObject *>(PyStructSequence_NewType(&event_desc)));
    if (!type) {
        // Out of memory, some versions return no type and set no exception.
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return nullptr;
    }
    if (!keep_event_signature(reinterpret_cast<PyTypeObject *>(type.get())))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&display_module, 1013));
    if (!module || !brilox::add_to_module(module.get(), "Event", Ref::borrow(type.get())))
        return nullptr;
    if (!add_constants(module.get(), constants) || !add_constants(module.get(), keysyms))
        return nullptr;
    Py_XDECREF(event_type);
    event_type = reinterpret_cast<PyTypeObject *>(type.release());
    return module.release();
}
