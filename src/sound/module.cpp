// brilox.sound: plays sound through SDL's audio device.
//
// The device mixes up to 16 channels (mixer.hpp): Python queues sample
// frames into a channel's ring, or hands a channel a whole sound to play,
// and SDL's audio thread sums the channels in its callback.  This file is
// the module: the device's opening and closing, SDL's audio lock around
// what the mixer shares with the callback, the buffers of held sounds,
// which only the interpreter's thread takes and releases, and the Channel
// type.  The module's functions act on channel 0.
#include "api_tables.hpp"
#include "mixer.hpp"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace {

using brilox::Ref;
namespace api = brilox::api;
namespace sound = brilox::sound;

void *api_slots[api::importer_slot_count];

PyObject *raise_sdl_error()
{
    return api::raise_library_error(api_slots, SDL_GetError());
}

// --- the device and its channels --------------------------------------------

// A sample format as callers name it (its bits, negative when signed) and
// as SDL does, in the machine's byte order.
struct SampleFormat {
    int size;
    Uint16 sdl_format;
};

constexpr SampleFormat sample_formats[] = {
    {-16, AUDIO_S16SYS}, {16, AUDIO_U16SYS}, {-8, AUDIO_S8}, {8, AUDIO_U8}};

const SampleFormat *format_of_size(int size)
{
    for (const SampleFormat &format : sample_formats)
        if (format.size == size)
            return &format;
    return nullptr;
}

const SampleFormat *format_of_sdl(Uint16 sdl_format)
{
    for (const SampleFormat &format : sample_formats)
        if (format.sdl_format == sdl_format)
            return &format;
    return nullptr;
}

using sound::channel_count;
using sound::Channel;

// The mixer SDL's callback runs, set up by open() with SDL's audio lock
// held.
sound::Mixer mixer;

// What only the interpreter's thread keeps about the open device.
struct Opened {
    bool open = false;
    int frequency = 0;
    int channels = 0;
    int samples = 0;  // the device's buffer, in frames
    int buffer_bytes = 0;
    bool running = false;  // SDL calls back: some channel is not paused
    // Each channel's clock, paused as the channel is.
    sound::ChannelClock clock[channel_count];
};

Opened opened;

// The buffers of the sounds the channels hold, which the interpreter's
// thread alone takes and releases (under the interpreter lock, never in the
// callback).  A view stays taken after the callback finishes with it, until
// the next call that looks at the channel (reap()).
struct HeldViews {
    Py_buffer view[channel_count] = {};
    bool taken[channel_count] = {};
};

HeldViews held_views;

// Channels kept for one owner (a Video's sound, or the game's music), which
// find_channel() passes over whether they play or not.  Only Python's thread
// reads and writes them, and they outlast a close() of the device, as the
// Channel objects that name them do.
bool reserved[channel_count] = {};

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SDL's audio callback, on SDL's audio thread, with SDL's audio lock held.
void SDLCALL mix_channels(void *, Uint8 *stream, int len)
{
    sound::mix(mixer, stream, static_cast<std::uint64_t>(std::max(len, 0)), now_ns());
}

// Releases the buffer channel `n` held, if any; the callback no longer
// reads it.
void release_held(int n)
{
    if (!held_views.taken[n])
        return;
    held_views.taken[n] = false;
    PyBuffer_Release(&held_views.view[n]);
}

// Releases channel `n`'s buffer once the callback has played it out.
void reap(int n)
{
    if (!held_views.taken[n])
        return;
    SDL_LockAudio();
    const bool done = mixer.channels[n].held == nullptr;
    SDL_UnlockAudio();
    if (done)
        release_held(n);
}

void close_device()
{
    if (!opened.open)
        return;
    // SDL's audio thread has ended when this returns: no callback reads the
    // rings after it.  Classic SDL's SDL_CloseAudio also shuts its audio
    // subsystem down, and sdl12-compat's does not; it is shut down here on
    // both, so that the next open starts SDL's audio afresh, on the driver
    // SDL_AUDIODRIVER then names.
    SDL_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    for (Channel &c : mixer.channels) {
        PyMem_RawFree(c.ring);
        c.ring = nullptr;
        c.held = nullptr;
    }
    opened.open = false;
    for (int n = 0; n < channel_count; ++n)
        release_held(n);
}

bool sound_ready()
{
    if (opened.open)
        return true;
    api::raise_library_error(api_slots, "sound not open");
    return false;
}

// What the callback has noted for channel `n`'s clock.
sound::Heard heard_of(int n)
{
    SDL_LockAudio();
    const sound::Heard heard = mixer.heard(n);
    SDL_UnlockAudio();
    return heard;
}

// Seconds of the sound queued on channel `n` heard since its last flush,
// frozen while the channel is paused, and never below what it gave before.
double clock_seconds(int n)
{
    return opened.clock[n].read(sound::heard_seconds(heard_of(n), opened.frequency, now_ns()));
}

// Makes channel `n`'s ring if it has none yet.
bool ring_made(int n)
{
    Channel &c = mixer.channels[n];
    if (c.ring != nullptr)
        return true;
    auto *ring = static_cast<std::uint8_t *>(PyMem_RawMalloc(mixer.capacity));
    if (ring == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    SDL_LockAudio();
    c.ring = ring;
    SDL_UnlockAudio();
    return true;
}

// --- open, close, quit -------------------------------------------------------

// What an open has made so far, undone unless it is kept: SDL's device, the
// ring, and SDL's audio subsystem if this open brought it up.
struct PendingOpen {
    bool started_audio = false;
    bool device_open = false;
    std::uint8_t *ring = nullptr;

    PendingOpen() = default;
    PendingOpen(const PendingOpen &) = delete;
    PendingOpen &operator=(const PendingOpen &) = delete;
    ~PendingOpen()
    {
        if (device_open)
            SDL_CloseAudio();
        PyMem_RawFree(ring);
        if (started_audio)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    void keep()
    {
        started_audio = device_open = false;
        ring = nullptr;
    }
};

const char *open_refusal(int frequency, int channels, const SampleFormat *format,
                         double buffer_seconds)
{
    if (frequency <= 0)
        return "frequency must be positive";
    if (channels < 1 || channels > 255)
        return "channels must be 1 to 255";
    if (format == nullptr)
        return "size must be -16, 16, -8 or 8";
    if (!(buffer_seconds > 0 && std::isfinite(buffer_seconds)))
        return "buffer_seconds must be positive";
    return nullptr;
}

PyObject *sound_open(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"frequency", "channels", "size", "buffer_seconds",
                                     nullptr};
    int frequency = 0, channels = 0, size = -16;
    double buffer_seconds = 0.5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|id:open", const_cast<char **>(keywords),
                                     &frequency, &channels, &size, &buffer_seconds))
        return nullptr;
    const SampleFormat *asked = format_of_size(size);
    if (const char *refusal = open_refusal(frequency, channels, asked, buffer_seconds)) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }

    // One device at a time: a second open closes the first.
    close_device();
    PendingOpen pending;
    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
        // As brilox.display does: SDL_Init would take over the interpreter's
        // fatal signals.
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0)
            return raise_sdl_error();
        pending.started_audio = true;
    }
    SDL_AudioSpec desired{};
    desired.freq = frequency;
    desired.format = asked->sdl_format;
    desired.channels = static_cast<Uint8>(channels);
    desired.samples = static_cast<Uint16>(sound::device_samples(frequency));
    desired.callback = mix_channels;
    SDL_AudioSpec obtained{};
    if (SDL_OpenAudio(&desired, &obtained) < 0)
        return raise_sdl_error();
    pending.device_open = true;
    const SampleFormat *format = format_of_sdl(obtained.format);
    if (format == nullptr) {
        // 16-bit samples of the other byte order: SDL converts from the
        // format asked for instead, at the rate, channels and buffer it gave.
        SDL_CloseAudio();
        pending.device_open = false;
        desired.freq = obtained.freq;
        desired.channels = obtained.channels;
        desired.samples = obtained.samples;
        if (SDL_OpenAudio(&desired, nullptr) < 0)
            return raise_sdl_error();
        pending.device_open = true;
        obtained = desired;
        format = asked;
    }

    const unsigned frame_bytes =
        obtained.channels * static_cast<unsigned>(std::abs(format->size) / 8);
    const double frames = std::max(std::round(buffer_seconds * obtained.freq), 1.0);
    if (frames * frame_bytes > static_cast<double>(PY_SSIZE_T_MAX / 2)) {
        PyErr_NoMemory();
        return nullptr;
    }
    const auto capacity = static_cast<std::uint64_t>(frames) * frame_bytes;
    pending.ring = static_cast<std::uint8_t *>(PyMem_RawMalloc(capacity));
    if (pending.ring == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref result = Ref::steal(Py_BuildValue("(iiiii)", obtained.freq, int{obtained.channels},
                                          format->size, int{obtained.samples},
                                          static_cast<int>(obtained.size)));
    if (!result)
        return nullptr;

    // The device is paused, so SDL is not calling back; the lock publishes
    // the rings to its thread all the same.
    SDL_LockAudio();
    mixer.start(obtained.freq, format->size, frame_bytes, capacity);
    mixer.channels[0].ring = pending.ring;
    SDL_UnlockAudio();
    pending.keep();
    opened = Opened{};
    opened.open = true;
    opened.frequency = obtained.freq;
    opened.channels = obtained.channels;
    opened.samples = obtained.samples;
    opened.buffer_bytes = static_cast<int>(obtained.size);
    return result.release();
}

PyObject *sound_close(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    close_device();
    return brilox::none();
}

PyObject *sound_quit(PyObject *, PyObject *)
{
    close_device();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return brilox::none();
}

PyObject *sound_get_init(PyObject *, PyObject *)
{
    return PyBool_FromLong(opened.open);
}

// --- what each channel does ---------------------------------------------------
//
// The module's functions act on channel 0, a Channel's methods on its own.

PyObject *queue_on(int n, PyObject *data)
{
    brilox::HeldBuffer held;
    if (!held.take(data, PyBUF_C_CONTIGUOUS))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    const auto length = static_cast<std::uint64_t>(held.view().len);
    if (length % mixer.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError,
                     "data must be whole sample frames of %u bytes, not %zd bytes",
                     mixer.frame_bytes, held.view().len);
        return nullptr;
    }
    if (!ring_made(n))
        return nullptr;
    // The result is made first, so that a caller told of no memory has
    // queued nothing.  The room only grows meanwhile: the callback takes.
    const std::uint64_t count = std::min(length, mixer.room(n));
    Ref taken = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!taken)
        return nullptr;
    mixer.queue(n, static_cast<const std::uint8_t *>(held.view().buf), count);
    return taken.release();
}

PyObject *unqueue_on(int n, PyObject *length)
{
    const unsigned long long wanted = PyLong_AsUnsignedLongLong(length);
    if (wanted == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return nullptr;
    if (!sound_ready())
        return nullptr;
    if (wanted % mixer.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError, "length must be whole sample frames of %u bytes, not %llu",
                     mixer.frame_bytes, wanted);
        return nullptr;
    }
    SDL_LockAudio();
    const std::uint64_t count = mixer.unqueue(n, wanted);
    SDL_UnlockAudio();
    Ref taken = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!taken) {
        // A caller told of no memory has taken nothing back.
        SDL_LockAudio();
        mixer.requeue(n, count);
        SDL_UnlockAudio();
    }
    return taken.release();
}

PyObject *flush_on(int n)
{
    if (!sound_ready())
        return nullptr;
    SDL_LockAudio();
    mixer.flush(n);
    SDL_UnlockAudio();
    release_held(n);
    opened.clock[n].seconds = 0;
    return brilox::none();
}

PyObject *queued_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(mixer.queued(n));
}

PyObject *underruns_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(
        mixer.channels[n].underruns.load(std::memory_order_relaxed));
}

// SDL calls back while some channel plays, and is paused (playing its own
// silence) while none does, as the device is at open().
PyObject *pause_on(int n, int pause)
{
    if (!sound_ready())
        return nullptr;
    Channel &c = mixer.channels[n];
    if (pause && !opened.clock[n].paused) {
        clock_seconds(n);  // the clock stops where it is now
        opened.clock[n].paused = true;
        c.playing.store(false, std::memory_order_relaxed);
        if (std::all_of(opened.clock, opened.clock + channel_count,
                        [](const sound::ChannelClock &clock) { return clock.paused; })) {
            opened.running = false;
            SDL_PauseAudio(1);
        }
    } else if (!pause && opened.clock[n].paused) {
        opened.clock[n].paused = false;
        c.playing.store(true, std::memory_order_relaxed);
        if (!opened.running) {
            opened.running = true;
            SDL_PauseAudio(0);
        }
    }
    return brilox::none();
}

// Plays the whole of `data` on channel `n`, then `loops` more times (-1:
// until stopped), in place of whatever it played, and starts the channel
// if paused.  The buffer is held, not copied, until the sound ends or is
// stopped.
PyObject *play_on(int n, PyObject *data, long long loops)
{
    if (!sound_ready())
        return nullptr;
    if (loops < -1) {
        PyErr_SetString(PyExc_ValueError, "loops must be -1 (until stopped) or more");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
    const auto length = static_cast<std::uint64_t>(view.len);
    if (length == 0 || length % mixer.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError,
                     "data must be one or more whole sample frames of %u bytes, not %zd bytes",
                     mixer.frame_bytes, view.len);
        PyBuffer_Release(&view);
        return nullptr;
    }
    SDL_LockAudio();
    mixer.hold(n, static_cast<const std::uint8_t *>(view.buf), length, loops);
    SDL_UnlockAudio();
    release_held(n);  // what it played before
    held_views.view[n] = view;
    held_views.taken[n] = true;
    opened.clock[n].seconds = 0;
    Ref none = Ref::steal(pause_on(n, 0));
    return none.release();
}

// Whether channel `n` still plays a sound whose buffer `data` gave.
PyObject *playing_on(int n, PyObject *data)
{
    if (!sound_ready())
        return nullptr;
    reap(n);
    return PyBool_FromLong(held_views.taken[n] && held_views.view[n].obj == data);
}

// Busy while it holds a sound, while frames wait in its ring, or while the
// frames its last callback took are still being heard.
bool channel_busy(int n)
{
    reap(n);
    if (held_views.taken[n] || mixer.queued(n) > 0)
        return true;
    return sound::still_heard(heard_of(n), opened.frequency, now_ns());
}

PyObject *clock_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyFloat_FromDouble(clock_seconds(n));
}

// --- the module's functions --------------------------------------------------

PyObject *sound_queue(PyObject *, PyObject *args)
{
    PyObject *data = nullptr;
    if (!PyArg_ParseTuple(args, "O:queue", &data))
        return nullptr;
    return queue_on(0, data);
}

PyObject *sound_flush(PyObject *, PyObject *)
{
    return flush_on(0);
}

PyObject *sound_unqueue(PyObject *, PyObject *length)
{
    return unqueue_on(0, length);
}

PyObject *sound_queued(PyObject *, PyObject *)
{
    return queued_on(0);
}

PyObject *sound_underruns(PyObject *, PyObject *)
{
    return underruns_on(0);
}

PyObject *sound_pause(PyObject *, PyObject *args)
{
    int pause = 0;
    if (!PyArg_ParseTuple(args, "p:pause", &pause))
        return nullptr;
    return pause_on(0, pause);
}

bool volume_in_range(int percent)
{
    if (percent >= 0 && percent <= 100)
        return true;
    PyErr_SetString(PyExc_ValueError, "volume must be 0 to 100");
    return false;
}

PyObject *sound_set_volume(PyObject *, PyObject *args)
{
    int percent = 0;
    if (!PyArg_ParseTuple(args, "i:set_volume", &percent))
        return nullptr;
    if (!volume_in_range(percent) || !sound_ready())
        return nullptr;
    mixer.volume.store(percent, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_volume(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromLong(mixer.volume.load(std::memory_order_relaxed));
}

PyObject *sound_set_mute(PyObject *, PyObject *args)
{
    int mute = 0;
    if (!PyArg_ParseTuple(args, "p:set_mute", &mute))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    mixer.muted.store(mute != 0, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_mute(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyBool_FromLong(mixer.muted.load(std::memory_order_relaxed));
}

PyObject *sound_clock(PyObject *, PyObject *)
{
    return clock_on(0);
}

PyObject *sound_latency(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    const double frames =
        static_cast<double>(mixer.queued(0) / mixer.frame_bytes) + opened.samples;
    return PyFloat_FromDouble(frames / opened.frequency);
}

// --- Channel -----------------------------------------------------------------

struct ChannelObject {
    PyObject_HEAD
    int n;
};

extern PyTypeObject channel_type;

int channel_of(PyObject *self)
{
    return reinterpret_cast<ChannelObject *>(self)->n;
}

PyObject *channel_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"n", nullptr};
    int n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:Channel", const_cast<char **>(keywords),
                                     &n))
        return nullptr;
    if (n < 0 || n >= channel_count) {
        PyErr_SetString(PyExc_ValueError, "channel must be from 0 to 15");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr)
        reinterpret_cast<ChannelObject *>(self)->n = n;
    return self;
}

PyObject *channel_repr(PyObject *self)
{
    return PyUnicode_FromFormat("Channel(%d)", channel_of(self));
}

PyObject *channel_richcompare(PyObject *self, PyObject *other, int op)
{
    if (!PyObject_TypeCheck(other, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE))
        Py_RETURN_NOTIMPLEMENTED;
    const bool same = channel_of(self) == channel_of(other);
    return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t channel_hash(PyObject *self)
{
    return channel_of(self) + 1;
}

PyObject *channel_queue(PyObject *self, PyObject *data)
{
    return queue_on(channel_of(self), data);
}

PyObject *channel_flush(PyObject *self, PyObject *)
{
    return flush_on(channel_of(self));
}

PyObject *channel_pause(PyObject *self, PyObject *flag)
{
    const int pause = PyObject_IsTrue(flag);
    if (pause < 0)
        return nullptr;
    return pause_on(channel_of(self), pause);
}

PyObject *channel_clock(PyObject *self, PyObject *)
{
    return clock_on(channel_of(self));
}

PyObject *channel_unqueue(PyObject *self, PyObject *length)
{
    return unqueue_on(channel_of(self), length);
}

PyObject *channel_queued(PyObject *self, PyObject *)
{
    return queued_on(channel_of(self));
}

PyObject *channel_underruns(PyObject *self, PyObject *)
{
    return underruns_on(channel_of(self));
}

PyObject *channel_get_volume(PyObject *self, void *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromLong(
        mixer.channels[channel_of(self)].volume.load(std::memory_order_relaxed));
}

int channel_set_volume(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "a channel's volume cannot be deleted");
        return -1;
    }
    Ref number = Ref::steal(PyNumber_Index(value));
    if (!number)
        return -1;
    const long asked = PyLong_AsLong(number.get());
    if (asked == -1 && PyErr_Occurred())
        return -1;
    const int percent = static_cast<int>(std::clamp(asked, -1L, 101L));
    if (!volume_in_range(percent) || !sound_ready())
        return -1;
    mixer.channels[channel_of(self)].volume.store(percent, std::memory_order_relaxed);
    return 0;
}

PyObject *channel_get_busy(PyObject *self, void *)
{
    if (!sound_ready())
        return nullptr;
    return PyBool_FromLong(channel_busy(channel_of(self)));
}

PyObject *channel_get_reserved(PyObject *self, void *)
{
    return PyBool_FromLong(reserved[channel_of(self)]);
}

int channel_set_reserved(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "a channel's reserved flag cannot be deleted");
        return -1;
    }
    const int flag = PyObject_IsTrue(value);
    if (flag < 0)
        return -1;
    reserved[channel_of(self)] = flag != 0;
    return 0;
}

PyObject *channel_play(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"data", "loops", nullptr};
    PyObject *data = nullptr;
    long long loops = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L:play", const_cast<char **>(keywords),
                                     &data, &loops))
        return nullptr;
    return play_on(channel_of(self), data, loops);
}

PyObject *channel_playing(PyObject *self, PyObject *data)
{
    return playing_on(channel_of(self), data);
}

// The first of channels 1 to 15 that is neither reserved nor busy, or None.
PyObject *sound_find_channel(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    for (int n = 1; n < channel_count; ++n) {
        if (reserved[n] || channel_busy(n))
            continue;
        PyObject *channel = channel_type.tp_alloc(&channel_type, 0);
        if (channel != nullptr)
            reinterpret_cast<ChannelObject *>(channel)->n = n;
        return channel;
    }
    return brilox::none();
}

PyObject *sound_get_format(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return Py_BuildValue("(iiiii)", opened.frequency, opened.channels, mixer.size,
                         opened.samples, opened.buffer_bytes);
}

// The module's __getattr__: Sound, from the module that decodes files, is
// imported on first use, so that importing this module needs no decoder.
PyObject *sound_getattr(PyObject *module, PyObject *name)
{
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "Sound") != 0) {
        PyErr_Format(PyExc_AttributeError, "module 'brilox.sound' has no attribute %R", name);
        return nullptr;
    }
    Ref files = Ref::steal(PyImport_ImportModule("brilox._sound_files"));
    if (!files)
        return nullptr;
    Ref sound = Ref::steal(PyObject_GetAttrString(files.get(), "Sound"));
    if (!sound || PyObject_SetAttrString(module, "Sound", sound.get()) < 0)
        return nullptr;
    return sound.release();
}

// --- at exit -----------------------------------------------------------------

// Registered with atexit, so that SDL's audio thread stops and the ring is
// freed while the interpreter is still whole.
PyObject *sound_close_at_exit(PyObject *, PyObject *)
{
    return sound_quit(nullptr, nullptr);
}

// Made with no module for its self, so its signature has none.
PyMethodDef close_at_exit_method = {
    "_close_at_exit", sound_close_at_exit, METH_NOARGS,
    "_close_at_exit()\n--\n\nclose the device if open and shut SDL's audio subsystem down"};

PyDoc_STRVAR(open_doc,
             "open($module, /, frequency, channels, size=-16, buffer_seconds=0.5)\n--\n\n"
             "open SDL's audio device, every channel paused, empty and at volume 100, the\n"
             "master volume 100 and not muted, closing one already open.  size is the\n"
             "sample format: -16 signed 16-bit, 16 unsigned 16-bit (both in the machine's\n"
             "byte order), -8 signed 8-bit, 8 unsigned 8-bit.\n"
             "Returns what SDL gave, which may differ from what was asked (queue that):\n"
             "(frequency, channels, size, samples, buffer_bytes), the last two SDL's buffer\n"
             "in frames (a power of two of 20-40 ms where SDL takes it) and in bytes.  The\n"
             "ring of each channel holds buffer_seconds of sound, in whole frames.");

PyDoc_STRVAR(queue_doc,
             "queue($module, data, /)\n--\n\n"
             "copy as many whole frames of data (any C-contiguous bytes-like object, whole\n"
             "frames in the format open() returned) into channel 0's ring as fit; returns\n"
             "the bytes taken, 0 when the ring is full.  Queue the rest later.");

PyDoc_STRVAR(clock_doc,
             "clock($module, /)\n--\n\n"
             "seconds of channel 0's queued sound heard since open() or the last flush():\n"
             "the frames "
             "SDL's callback took from the ring, less those of its last callback, over the\n"
             "frequency, plus the time since that callback, up to the length of those last\n"
             "frames.  Never negative and never below what it gave before; frozen while\n"
             "paused.  Muted sound counts as heard; the silence SDL plays when the ring runs\n"
             "dry does not.");

PyDoc_STRVAR(latency_doc,
             "latency($module, /)\n--\n\n"
             "seconds between queueing a frame now and hearing it: the frames waiting in\n"
             "the ring and SDL's buffer of samples frames, over the frequency.");

PyDoc_STRVAR(underruns_doc,
             "underruns($module, /)\n--\n\n"
             "how many of SDL's callbacks since open() found channel 0's ring short while\n"
             "playing, "
             "after something was queued since the last flush (so played silence in part)");

PyObject *sound_find_channel(PyObject *, PyObject *);
PyObject *sound_get_format(PyObject *, PyObject *);
PyObject *sound_getattr(PyObject *, PyObject *);

PyMethodDef sound_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sound_open)),
     METH_VARARGS | METH_KEYWORDS, open_doc},
    {"close", sound_close, METH_NOARGS,
     "close($module, /)\n--\n\nstop and close SDL's audio device and free the ring"},
    {"quit", sound_quit, METH_NOARGS,
     "quit($module, /)\n--\n\nclose the device if open and shut SDL's audio subsystem down"},
    {"get_init", sound_get_init, METH_NOARGS,
     "get_init($module, /)\n--\n\ntrue while the device is open"},
    {"queue", sound_queue, METH_VARARGS, queue_doc},
    {"flush", sound_flush, METH_NOARGS,
     "flush($module, /)\n--\n\nempty channel 0's ring, and start its clock again at 0"},
    {"queued", sound_queued, METH_NOARGS,
     "queued($module, /)\n--\n\nthe bytes waiting in channel 0's ring"},
    {"unqueue", sound_unqueue, METH_O,
     "unqueue($module, length, /)\n--\n\n"
     "take back the last length bytes queued into channel 0's ring (whole frames),\n"
     "or as many of them as still wait; returns the bytes taken back"},
    {"underruns", sound_underruns, METH_NOARGS, underruns_doc},
    {"pause", sound_pause, METH_VARARGS,
     "pause($module, flag, /)\n--\n\n"
     "hold channel 0's sound while flag is true; while every channel is paused, as\n"
     "open() leaves them, SDL stops calling for sound (it plays silence)"},
    {"set_volume", sound_set_volume, METH_VARARGS,
     "set_volume($module, percent, /)\n--\n\n"
     "the master volume: scale every sample of the channels' sum by percent (0 to\n"
     "100) of itself, rounded, from the next callback on"},
    {"get_volume", sound_get_volume, METH_NOARGS,
     "get_volume($module, /)\n--\n\nthe master volume in percent"},
    {"set_mute", sound_set_mute, METH_VARARGS,
     "set_mute($module, flag, /)\n--\n\n"
     "play silence in place of the channels' sum, whose sound is still\n"
     "taken from their rings, so that their clocks run on"},
    {"get_mute", sound_get_mute, METH_NOARGS, "get_mute($module, /)\n--\n\ntrue while muted"},
    {"clock", sound_clock, METH_NOARGS, clock_doc},
    {"latency", sound_latency, METH_NOARGS, latency_doc},
    {"find_channel", sound_find_channel, METH_NOARGS,
     "find_channel($module, /)\n--\n\n"
     "the first Channel from 1 to 15 that is neither reserved nor busy, or None\n"
     "if there is none"},
    {"get_format", sound_get_format, METH_NOARGS,
     "get_format($module, /)\n--\n\nwhat open() returned, while the device is open"},
    {"__getattr__", sound_getattr, METH_O,
     "__getattr__($module, name, /)\n--\n\nSound, imported from brilox._sound_files on first use"},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(channel_queue_doc,
             "queue($self, data, /)\n--\n\n"
             "copy as many whole frames of data into this channel's ring as fit, as the\n"
             "module's queue() does; returns the bytes taken");

PyDoc_STRVAR(channel_play_doc,
             "play($self, /, data, loops=0)\n--\n\n"
             "play the whole of data (any C-contiguous bytes-like object, one or more whole\n"
             "frames in the format open() returned), then loops more times (-1: until\n"
             "stopped), in place of what the channel played, its ring emptied and its clock\n"
             "started again at 0; starts the channel if paused.  SDL's audio thread plays it\n"
             "on its own: the buffer is held, not copied, until the sound ends or stops, so\n"
             "change none of it meanwhile.  What is queued meanwhile waits for its end.");

PyMethodDef channel_methods[] = {
    {"queue", channel_queue, METH_O, channel_queue_doc},
    {"play", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(channel_play)),
     METH_VARARGS | METH_KEYWORDS, channel_play_doc},
    {"playing", channel_playing, METH_O,
     "playing($self, data, /)\n--\n\ntrue while the channel plays the sound of data's buffer"},
    {"stop", channel_flush, METH_NOARGS,
     "stop($self, /)\n--\n\nstop the sound it plays and empty the ring, as flush() does"},
    {"flush", channel_flush, METH_NOARGS,
     "flush($self, /)\n--\n\nempty the ring and stop a sound it plays, and start the clock\n"
     "again at 0"},
    {"pause", channel_pause, METH_O,
     "pause($self, flag, /)\n--\n\n"
     "hold this channel's sound while flag is true; every channel starts paused"},
    {"clock", channel_clock, METH_NOARGS,
     "clock($self, /)\n--\n\nseconds of this channel's queued sound heard since\n"
     "open() or its last flush(), reckoned as the module's clock() is"},
    {"queued", channel_queued, METH_NOARGS,
     "queued($self, /)\n--\n\nthe bytes waiting in this channel's ring"},
    {"unqueue", channel_unqueue, METH_O,
     "unqueue($self, length, /)\n--\n\ntake back the last length bytes queued into this\n"
     "channel's ring, as the module's unqueue() does"},
    {"underruns", channel_underruns, METH_NOARGS,
     "underruns($self, /)\n--\n\nhow many of SDL's callbacks found this channel's ring\n"
     "short while it played, after something was queued since its last flush"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"volume", channel_get_volume, channel_set_volume,
     "the channel's volume in percent (0 to 100), reached over 5 ms, a step a frame", nullptr},
    {"busy", channel_get_busy, nullptr,
     "true while it plays a sound, while sound waits in its ring, or while either is\n"
     "being heard", nullptr},
    {"reserved", channel_get_reserved, channel_set_reserved,
     "true while the channel is kept for one owner: find_channel() and Sound.play()\n"
     "pass it by.  A Video reserves the channel it plays on until it is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The record names only the slots it uses; every other slot stays empty, so
// the host's defaults apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject channel_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "brilox.sound.Channel",
    .tp_basicsize = sizeof(ChannelObject),
    .tp_itemsize = 0,
    .tp_repr = channel_repr,
    .tp_hash = channel_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Channel(n)\n--\n\n"
              "one of the device's 16 channels (n from 0 to 15), each with a ring of its\n"
              "own; the device plays their sum.  Channel(n) made twice is the same channel,\n"
              "and channel 0 is the one the module's functions act on.",
    .tp_richcompare = channel_richcompare,
    .tp_methods = channel_methods,
    .tp_getset = channel_getset,
    .tp_new = channel_new,
};

#pragma GCC diagnostic pop

PyModuleDef sound_module = {
    PyModuleDef_HEAD_INIT,
    "sound",
    "brilox module to play sound: rings of sample frames that SDL's audio device mixes and plays",
    -1,
    sound_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_sound(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    if (!brilox::type_ready(&channel_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&sound_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Channel",
                               Ref::borrow(reinterpret_cast<PyObject *>(&channel_type))))
        return nullptr;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit)
        return nullptr;
    Ref close_at_exit = Ref::steal(PyCFunction_New(&close_at_exit_method, nullptr));
    if (!close_at_exit)
        return nullptr;
    Ref registered =
        Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", close_at_exit.get()));
    if (!registered)
        return nullptr;
    return module.release();
}
