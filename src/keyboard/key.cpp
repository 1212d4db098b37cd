// brilox.key: module functions over SDL's keyboard state.
//
// Every function answers from SDL directly: the pressed keys, the held
// modifiers, key names, the key-repeat setting and the input focus.  All but
// `name` refuse to call SDL while its video subsystem is down; where they
// take arguments they parse them first, so a bad argument is reported as such
// whatever SDL's state.
#include "api_tables.hpp"

#include <SDL.h>

namespace {

using brilox::Ref;
namespace api = brilox::api;

// This module's copy of the base API table; only the error type is used.
void *api_slots[api::importer_slot_count];

PyObject *raise_library_error(const char *message)
{
    return api::raise_library_error(api_slots, message);
}

bool video_ready()
{
    if (SDL_WasInit(SDL_INIT_VIDEO))
        return true;
    raise_library_error("video system not initialized");
    return false;
}

// set_repeat

PyObject *key_set_repeat(PyObject *, PyObject *args)
{
    int delay = 0, interval = 0;
    if (!PyArg_ParseTuple(args, "|ii", &delay, &interval))
        return nullptr;
    if (!video_ready())
        return nullptr;
    // A delay alone repeats at the same pace.
    if (delay != 0 && interval == 0)
        interval = delay;
    if (SDL_EnableKeyRepeat(delay, interval) == -1)
        return raise_library_error(SDL_GetError());
    return brilox::none();
}

// get_repeat

PyObject *key_get_repeat(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    int delay = 0, interval = 0;
    SDL_GetKeyRepeat(&delay, &interval);
    return Py_BuildValue("(ii)", delay, interval);
}

// get_pressed

PyObject *key_get_pressed(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    int count = 0;
    const Uint8 *state = SDL_GetKeyState(&count);
    if (state == nullptr || count <= 0)
        return brilox::none();
    Ref pressed = Ref::steal(PyTuple_New(count));
    if (!pressed)
        return nullptr;
    PyObject *tuple = pressed.get();
    for (int i = 0; i < count; ++i) {
        PyObject *value = PyLong_FromLong(state[i]);
        if (value == nullptr)
            return nullptr;  // `pressed` drops the partly filled tuple
        PyTuple_SET_ITEM(tuple, i, value);
    }
    return pressed.release();
}

// name

PyObject *key_name(PyObject *, PyObject *args)
{
    int key = 0;
    if (!PyArg_ParseTuple(args, "i", &key))
        return nullptr;
    // SDL checks only the upper end of its name table, so a key outside the
    // table is never handed to it: such a key gets SDL's name for an unknown
    // key.
    SDLKey sdl_key = (key >= 0 && key < SDLK_LAST) ? static_cast<SDLKey>(key) : SDLK_UNKNOWN;
    const char *text = SDL_GetKeyName(sdl_key);
    return PyUnicode_FromString(text != nullptr ? text : "");
}

// get_mods

PyObject *key_get_mods(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    return PyLong_FromLong(SDL_GetModState());
}

// set_mods

PyObject *key_set_mods(PyObject *, PyObject *args)
{
    int mods = 0;
    if (!PyArg_ParseTuple(args, "i", &mods))
        return nullptr;
    if (!video_ready())
        return nullptr;
    // SDL stores the bits as given; the enum is an int at SDL's C interface.
    SDL_SetModState(static_cast<SDLMod>(mods));
    return brilox::none();
}

// get_focused

PyObject *key_get_focused(PyObject *, PyObject *)
{
    if (!video_ready())
        return nullptr;
    return PyLong_FromLong((SDL_GetAppState() & SDL_APPINPUTFOCUS) != 0 ? 1 : 0);
}

const char set_repeat_doc[] =
    "set_repeat() -> None\nset_repeat(delay, interval) -> None\ncontrol how held keys are repeated";
const char get_repeat_doc[] = "get_repeat() -> (delay, interval)\nsee how held keys are repeated";
const char get_pressed_doc[] = "get_pressed() -> bools\nget the state of all keyboard buttons";
const char name_doc[] = "name(key) -> string\nget the name of a key identifier";
const char get_mods_doc[] = "get_mods() -> int\ndetermine which modifier keys are being held";
const char set_mods_doc[] = "set_mods(int) -> None\ntemporarily set which modifier keys are pressed";
const char get_focused_doc[] =
    "get_focused() -> bool\ntrue if the display is receiving keyboard input from the system";

PyMethodDef key_methods[] = {
    {"set_repeat", key_set_repeat, METH_VARARGS, set_repeat_doc},
    {"get_repeat", key_get_repeat, METH_NOARGS, get_repeat_doc},
    {"get_pressed", key_get_pressed, METH_NOARGS, get_pressed_doc},
    {"name", key_name, METH_VARARGS, name_doc},
    {"get_mods", key_get_mods, METH_NOARGS, get_mods_doc},
    {"set_mods", key_set_mods, METH_VARARGS, set_mods_doc},
    {"get_focused", key_get_focused, METH_NOARGS, get_focused_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef key_module = {
    PyModuleDef_HEAD_INIT,
    "key",
    "brilox module to work with the keyboard",
    -1,
    key_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_key(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    return PyModule_Create2(&key_module, 1013);
}
