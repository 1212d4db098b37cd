// A test double interposed in front of a few SDL 1.2 calls.
//
// Loaded into the test process with RTLD_GLOBAL before any brilox module, so
// the modules' calls into SDL reach these definitions first.  By default every
// call is passed through to the real SDL and counted; the tests switch on
// what real SDL cannot be made to do: refusals, a hardware overlay, a missing
// key-state array, an application state without focus, a display surface
// without a pixel format.
#include <SDL.h>
#include <dlfcn.h>

namespace {

void *real(const char *name)
{
    static void *sdl = dlopen("libSDL-1.2.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (sdl == nullptr)
        sdl = dlopen("libSDL-1.2.so.0", RTLD_NOW);
    return dlsym(sdl, name);
}

template <typename F>
F real_fn(const char *name)
{
    return reinterpret_cast<F>(real(name));
}

// Every SDL overlay that is not freed yet.  An Overlay that outlives SDL's
// video subsystem leaves its SDL overlay alone, as it must; holding the
// pointers here keeps the sanitizer build's leak check from reporting those
// overlays.  Whether the module frees what it should is checked by counting
// creations against frees, not by the leak check.
constexpr int tracked_max = 4096;
SDL_Overlay *tracked[tracked_max];
int tracked_count;

void track(SDL_Overlay *overlay)
{
    if (overlay != nullptr && tracked_count < tracked_max)
        tracked[tracked_count++] = overlay;
}

void untrack(SDL_Overlay *overlay)
{
    for (int i = tracked_count - 1; i >= 0; --i) {
        if (tracked[i] == overlay) {
            tracked[i] = tracked[--tracked_count];
            return;
        }
    }
}

// ---- per-surface lock counts ----------------------------------------------
//
// SDL 1.2's surface record counts its locks in `locked`, but not every SDL
// 1.2 build keeps that field up to date.  This table keeps the same count for
// every build: one more for each SDL_LockSurface that succeeds, one fewer for
// each SDL_UnlockSurface of a surface that holds a lock (SDL ignores the
// others).  Only surfaces that hold locks have an entry, and a surface that
// SDL frees loses its entry, so a new surface at the same address starts at 0.
struct SurfaceLocks {
    SDL_Surface *surface;
    int locks;
};

constexpr int lock_counts_max = 16384;
SurfaceLocks lock_counts[lock_counts_max];
int lock_counts_used;
bool lock_counts_overflowed;

SurfaceLocks *lock_count_of(SDL_Surface *surface)
{
    for (int i = 0; i < lock_counts_used; ++i) {
        if (lock_counts[i].surface == surface)
            return &lock_counts[i];
    }
    return nullptr;
}

void forget_lock_count(SurfaceLocks *entry)
{
    *entry = lock_counts[--lock_counts_used];
}

void count_lock(SDL_Surface *surface)
{
    if (SurfaceLocks *entry = lock_count_of(surface)) {
        entry->locks++;
    } else if (lock_counts_used < lock_counts_max) {
        lock_counts[lock_counts_used++] = {surface, 1};
    } else {
        lock_counts_overflowed = true;
    }
}

void count_unlock(SDL_Surface *surface)
{
    SurfaceLocks *entry = lock_count_of(surface);
    if (entry != nullptr && --entry->locks == 0)
        forget_lock_count(entry);
}

}  // namespace

extern "C" {

// Counters and switches, read and written by the tests through ctypes.
__attribute__((visibility("default"))) struct {
    int create_overlay_calls;
    int free_overlay_calls;
    int lock_overlay_calls;
    int unlock_overlay_calls;
    int display_overlay_calls;
    int lock_surface_calls;
    int unlock_surface_calls;
    int enable_key_repeat_calls;
    int get_key_state_calls;

    int refuse_create_overlay;  // SDL_CreateYUVOverlay returns NULL
    int hardware_overlay;       // created overlays report hw_overlay = 1
    int display_is_noop;        // SDL_DisplayYUVOverlay does nothing
    int refuse_lock_surface;    // SDL_LockSurface returns -1
    int key_state_mode;         // 0 real, 1 NULL array, 2 real array with count 0
    int app_state_override;     // -1 real, otherwise the value returned

    SDL_Rect last_display_rect;
    SDL_Overlay *last_display_overlay;
    SDL_Surface *last_lock_surface;
    SDL_Surface *last_unlock_surface;
    int last_repeat_delay;
    int last_repeat_interval;

    int free_overlay_without_video_calls;  // SDL_FreeYUVOverlay after video shut down
    int formatless_video_surface;  // SDL_GetVideoSurface returns a surface without a format
} brilox_sdl_double = {};

__attribute__((visibility("default"))) void brilox_sdl_double_reset(void)
{
    brilox_sdl_double = {};
    brilox_sdl_double.app_state_override = -1;
}

__attribute__((constructor)) static void init_double(void) { brilox_sdl_double_reset(); }

#define DOUBLE(name) __attribute__((visibility("default"))) name

DOUBLE(SDL_Overlay *) SDL_CreateYUVOverlay(int width, int height, Uint32 format, SDL_Surface *display)
{
    brilox_sdl_double.create_overlay_calls++;
    if (brilox_sdl_double.refuse_create_overlay) {
        SDL_SetError("overlay refused by the test double");
        return nullptr;
    }
    auto fn = real_fn<SDL_Overlay *(*)(int, int, Uint32, SDL_Surface *)>("SDL_CreateYUVOverlay");
    SDL_Overlay *overlay = fn(width, height, format, display);
    track(overlay);
    if (overlay != nullptr && brilox_sdl_double.hardware_overlay)
        overlay->hw_overlay = 1;
    return overlay;
}

DOUBLE(void) SDL_FreeYUVOverlay(SDL_Overlay *overlay)
{
    brilox_sdl_double.free_overlay_calls++;
    if (SDL_WasInit(SDL_INIT_VIDEO) == 0)
        brilox_sdl_double.free_overlay_without_video_calls++;
    untrack(overlay);
    if (overlay != nullptr)
        overlay->hw_overlay = 0;
    real_fn<void (*)(SDL_Overlay *)>("SDL_FreeYUVOverlay")(overlay);
}

DOUBLE(int) SDL_LockYUVOverlay(SDL_Overlay *overlay)
{
    brilox_sdl_double.lock_overlay_calls++;
    return real_fn<int (*)(SDL_Overlay *)>("SDL_LockYUVOverlay")(overlay);
}

DOUBLE(void) SDL_UnlockYUVOverlay(SDL_Overlay *overlay)
{
    brilox_sdl_double.unlock_overlay_calls++;
    real_fn<void (*)(SDL_Overlay *)>("SDL_UnlockYUVOverlay")(overlay);
}

DOUBLE(int) SDL_DisplayYUVOverlay(SDL_Overlay *overlay, SDL_Rect *rect)
{
    brilox_sdl_double.display_overlay_calls++;
    brilox_sdl_double.last_display_overlay = overlay;
    if (rect != nullptr)
        brilox_sdl_double.last_display_rect = *rect;
    if (brilox_sdl_double.display_is_noop)
        return 0;
    return real_fn<int (*)(SDL_Overlay *, SDL_Rect *)>("SDL_DisplayYUVOverlay")(overlay, rect);
}

// sdl12-compat from 1.2.66 on keeps its display surface record through a
// restart of the video subsystem, with no pixel format until a mode is set.
DOUBLE(SDL_Surface *) SDL_GetVideoSurface(void)
{
    static SDL_Surface formatless = {};
    if (brilox_sdl_double.formatless_video_surface)
        return &formatless;
    return real_fn<SDL_Surface *(*)(void)>("SDL_GetVideoSurface")();
}

DOUBLE(int) SDL_LockSurface(SDL_Surface *surface)
{
    brilox_sdl_double.lock_surface_calls++;
    brilox_sdl_double.last_lock_surface = surface;
    if (brilox_sdl_double.refuse_lock_surface) {
        SDL_SetError("lock refused by the test double");
        return -1;
    }
    int result = real_fn<int (*)(SDL_Surface *)>("SDL_LockSurface")(surface);
    if (result == 0)
        count_lock(surface);
    return result;
}

DOUBLE(void) SDL_UnlockSurface(SDL_Surface *surface)
{
    brilox_sdl_double.unlock_surface_calls++;
    brilox_sdl_double.last_unlock_surface = surface;
    real_fn<void (*)(SDL_Surface *)>("SDL_UnlockSurface")(surface);
    count_unlock(surface);
}

DOUBLE(int) SDL_EnableKeyRepeat(int delay, int interval)
{
    brilox_sdl_double.enable_key_repeat_calls++;
    brilox_sdl_double.last_repeat_delay = delay;
    brilox_sdl_double.last_repeat_interval = interval;
    return real_fn<int (*)(int, int)>("SDL_EnableKeyRepeat")(delay, interval);
}

DOUBLE(Uint8 *) SDL_GetKeyState(int *numkeys)
{
    brilox_sdl_double.get_key_state_calls++;
    if (brilox_sdl_double.key_state_mode == 1) {
        if (numkeys != nullptr)
            *numkeys = 0;
        return nullptr;
    }
    Uint8 *keys = real_fn<Uint8 *(*)(int *)>("SDL_GetKeyState")(numkeys);
    if (brilox_sdl_double.key_state_mode == 2 && numkeys != nullptr)
        *numkeys = 0;
    return keys;
}

DOUBLE(Uint8) SDL_GetAppState(void)
{
    if (brilox_sdl_double.app_state_override >= 0)
        return static_cast<Uint8>(brilox_sdl_double.app_state_override);
    return real_fn<Uint8 (*)(void)>("SDL_GetAppState")();
}

// SDL_LockSurface calls that succeeded on `surface` less the SDL_UnlockSurface
// calls that gave one back; -1 once more surfaces held locks at a time than
// the table can follow.
DOUBLE(int) brilox_sdl_double_locks_of(SDL_Surface *surface)
{
    if (lock_counts_overflowed)
        return -1;
    SurfaceLocks *entry = lock_count_of(surface);
    return entry != nullptr ? entry->locks : 0;
}

DOUBLE(void) SDL_FreeSurface(SDL_Surface *surface)
{
    // SDL frees only the last reference to a surface, and never the display
    // surface this way.
    bool freed = surface != nullptr && surface->refcount <= 1 &&
                 surface != real_fn<SDL_Surface *(*)(void)>("SDL_GetVideoSurface")();
    real_fn<void (*)(SDL_Surface *)>("SDL_FreeSurface")(surface);
    if (freed) {
        if (SurfaceLocks *entry = lock_count_of(surface))
            forget_lock_count(entry);
    }
}

}  // extern "C"
