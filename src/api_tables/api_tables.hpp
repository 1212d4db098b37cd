// Tables of C services that the library's native modules publish to each
// other inside capsules.
//
// A publisher keeps a static array of pointer-sized slots and stores a capsule
// holding its address under the module attribute "_BRILOX_C_API".  The
// capsule is named after the module's full import name, a point and
// "_BRILOX_C_API".  An importer copies the slots once, at initialisation, into
// one static array of its own: the base slots first, the rect slots after them.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace brilox::api {

inline constexpr const char attribute_name[] = "_BRILOX_C_API";

inline constexpr const char base_module[] = "brilox.base";
inline constexpr const char base_capsule[] = "brilox.base._BRILOX_C_API";
inline constexpr int base_slot_count = 19;

inline constexpr const char rect_module[] = "brilox.rect";
inline constexpr const char rect_capsule[] = "brilox.rect._BRILOX_C_API";
inline constexpr int rect_slot_count = 4;

// Positions inside the base and rect tables themselves.
inline constexpr int base_error_slot = 0;
inline constexpr int base_register_quit_slot = 1;
inline constexpr int base_run_quit_hooks_slot = 2;
inline constexpr int rect_from_object_slot = 3;

// A function that the display module runs while SDL's video subsystem and
// its display surface are still up, just before they go: before the video
// subsystem is shut down, and before a mode of another depth replaces the
// display surface.  Whatever a module made for that display is released
// there, while SDL can still free it.
using QuitHook = void (*)(void);

// Base slot 1: adds `hook` to the functions run by base slot 2.  A hook
// already there is not added twice.  Returns 1, or 0 with the host's error
// set when the list is full.
using RegisterQuit = int (*)(QuitHook hook);

// Base slot 2: runs every registered hook, the last registered first.
using RunQuitHooks = void (*)(void);

// Positions of the copies inside an importer's array.
inline constexpr int base_first = 0;
inline constexpr int rect_first = base_first + base_slot_count;
inline constexpr int importer_slot_count = rect_first + rect_slot_count;

// A rectangle as the rect table hands it out.
struct IntRect {
    std::int32_t x;
    std::int32_t y;
    std::int32_t w;
    std::int32_t h;
};

// Reads `object` as a rectangle.  Returns `scratch` or storage of the rect
// module's own, or null when the object is not a rectangle.
using RectFromObject = IntRect *(*)(PyObject *object, IntRect *scratch);

// Imports `module_name`, checks that its "_BRILOX_C_API" attribute is exactly
// a capsule named `capsule_name`, and copies `slot_count` slots from it into
// `destination`.  Returns nothing: a failure is left as the host's error.
void import_api_table(const char *module_name, const char *capsule_name, int slot_count,
                      void **destination);

// Raises the library error type from an importer's copy of the base table.
// Should slot 0 be empty it raises RuntimeError instead, so no path ever
// calls through an empty slot.  Always returns null.
PyObject *raise_library_error(void *const *slots, const char *message);

}  // namespace brilox::api
