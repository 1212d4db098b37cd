// brilox.display: brings up SDL's video subsystem and a software display
// surface for the other modules to draw on.
#include "api_tables.hpp"

#include <SDL.h>

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

// Lets the other modules release what they made for the display (base slot
// 2) while SDL can still free it.
void run_quit_hooks()
{
    auto run = reinterpret_cast<api::RunQuitHooks>(
        api_slots[api::base_first + api::base_run_quit_hooks_slot]);
    if (run != nullptr)
        run();
}

PyObject *display_init(PyObject *, PyObject *)
{
    // SDL_InitSubSystem, unlike SDL_Init, installs no handlers for fatal
    // signals, which would take over the interpreter's.  (SDL's event
    // start-up still turns a SIGTERM left at its default into a quit event.)
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) < 0)
        return raise_sdl_error();
    return brilox::none();
}

PyObject *display_quit(PyObject *, PyObject *)
{
    run_quit_hooks();
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return brilox::none();
}

PyObject *display_get_init(PyObject *, PyObject *)
{
    return PyBool_FromLong(SDL_WasInit(SDL_INIT_VIDEO) != 0);
}

PyObject *display_set_mode(PyObject *, PyObject *args)
{
    int width = 0, height = 0, depth = 32;
    if (!PyArg_ParseTuple(args, "(ii)|i", &width, &height, &depth))
        return nullptr;
    if (width <= 0 || height <= 0) {
        PyErr_SetString(PyExc_ValueError, "display size must be positive");
        return nullptr;
    }
    // Other depths (15 among them) make the dummy driver corrupt the heap.
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        PyErr_SetString(PyExc_ValueError, "display depth must be 8, 16, 24 or 32");
        return nullptr;
    }
    if (!video_ready())
        return nullptr;
    // A mode of another depth ends what was made for the display: SDL over
    // SDL 2 destroys its renderer, and with it every overlay's texture, even
    // when a later mode brings the old depth back.  Another size of the same
    // depth keeps them.
    const SDL_Surface *old_mode = current_mode();
    if (old_mode != nullptr && old_mode->format->BitsPerPixel != depth)
        run_quit_hooks();
    if (SDL_SetVideoMode(width, height, depth, SDL_SWSURFACE) == nullptr)
        return raise_sdl_error();
    return brilox::none();
}

PyObject *display_get_size(PyObject *, PyObject *)
{
    SDL_Surface *surface = display_surface();
    if (surface == nullptr)
        return nullptr;
    return Py_BuildValue("(ii)", surface->w, surface->h);
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
    {"init", display_init, METH_NOARGS, "init() -> None\ninitialise SDL's video subsystem"},
    {"quit", display_quit, METH_NOARGS, "quit() -> None\nshut SDL's video subsystem down"},
    {"get_init", display_get_init, METH_NOARGS,
     "get_init() -> bool\ntrue if SDL's video subsystem is initialised"},
    {"set_mode", display_set_mode, METH_VARARGS,
     "set_mode((width, height), depth=32) -> None\nopen a software display surface"},
    {"get_size", display_get_size, METH_NOARGS,
     "get_size() -> (width, height)\nthe size of the display surface"},
    {"flip", display_flip, METH_NOARGS, "flip() -> None\nshow the display surface"},
    {"pump", display_pump, METH_NOARGS, "pump() -> None\nlet SDL process pending events"},
    {"quit_requested", display_quit_requested, METH_NOARGS,
     "quit_requested() -> bool\ntrue if the window was asked to close since the last call;\n"
     "empties SDL's event queue (call pump() first)"},
    {"set_caption", display_set_caption, METH_VARARGS,
     "set_caption(title) -> None\nset the window title"},
    {"save", display_save, METH_VARARGS,
     "save(path) -> None\nwrite the display surface to a BMP file"},
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

}  // namespace

PyMODINIT_FUNC PyInit_display(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    return PyModule_Create2(&display_module, 1013);
}
