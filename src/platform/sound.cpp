// brilox.sound: plays sound through SDL's audio device.
//
// Python queues sample frames into a ring buffer, and SDL's audio thread
// takes them out in its callback.  The ring has one writer, queue(), which
// runs under the interpreter lock, and one reader, the callback, which never
// takes the interpreter lock, never allocates, never waits and never calls
// Python: the two meet only through atomic byte counts.  The callback scales
// what it takes by the volume, fills what the ring lacks with silence, and
// notes how many frames it took and when, which the clock reads.
#include "api_tables.hpp"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *api_slots[api::importer_slot_count];

PyObject *raise_sdl_error()
{
    return api::raise_library_error(api_slots, SDL_GetError());
}

// --- the device and its ring -----------------------------------------------

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

// What the callback shares with the interpreter's thread.
//
// The ring, its shape and the format are set with SDL's audio lock held,
// which SDL holds around every callback, and stay until the device closes.
// `written` and `taken` count the bytes ever put into the ring and taken out
// of it: queue() alone moves `written` and the callback alone moves `taken`
// (but for flush(), which holds SDL's audio lock), each storing with release
// after its copy and loading the other's count with acquire before it, so
// neither ever waits for the other.
//
// The clock's record is written by the callback and read and reset by the
// interpreter's thread only with SDL's audio lock held: the frames the
// callback took from the ring since the last flush, how many of them the
// last callback took, and when it ran.
struct Device {
    std::uint8_t *ring = nullptr;
    std::uint64_t capacity = 0;  // bytes, whole frames
    unsigned frame_bytes = 0;
    int size = 0;  // the sample format, as SampleFormat::size
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> taken{0};
    std::atomic<int> volume{100};
    std::atomic<bool> muted{false};
    std::atomic<bool> playing{false};
    std::atomic<bool> fed{false};  // something was queued since the last flush
    std::atomic<std::uint64_t> underruns{0};
    std::uint64_t frames_taken = 0;
    std::uint64_t last_frames = 0;
    std::int64_t last_call_ns = 0;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

Device device;

// What only the interpreter's thread keeps about the open device.
struct Opened {
    bool open = false;
    int frequency = 0;
    int samples = 0;  // the device's buffer, in frames
    bool paused = true;
    double clock = 0;  // the last value the clock gave, which it never goes below
};

Opened opened;

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Silence is the middle of the format's range: 0 for signed samples, 0x80
// and 0x8000 for unsigned ones.  (SDL's own silence byte would make unsigned
// 16-bit silence 0x0000 on classic SDL and 0x8080 on SDL over SDL 2.)
void fill_silence(std::uint8_t *bytes, std::uint64_t count, int size)
{
    if (size == 16) {
        const Uint16 middle = 0x8000;
        for (std::uint64_t i = 0; i + 2 <= count; i += 2)
            std::memcpy(bytes + i, &middle, 2);
    } else {
        std::memset(bytes, size == 8 ? 0x80 : 0, count);
    }
}

// Each sample, taken as its distance from the format's middle `zero`,
// becomes round(sample * percent / 100), halves rounded up, clipped to the
// format's range.  Adding 100 * 32768 keeps every dividend positive, so that
// integer division rounds down.
template <typename Sample, int zero, int low, int high>
void scale_samples(std::uint8_t *bytes, std::uint64_t count, int percent)
{
    for (std::uint64_t i = 0; i + sizeof(Sample) <= count; i += sizeof(Sample)) {
        Sample sample;
        std::memcpy(&sample, bytes + i, sizeof sample);
        const int centred = static_cast<int>(sample) - zero;
        const int scaled = (centred * percent + 50 + 100 * 32768) / 100 - 32768;
        sample = static_cast<Sample>(std::clamp(scaled, low, high) + zero);
        std::memcpy(bytes + i, &sample, sizeof sample);
    }
}

void scale(std::uint8_t *bytes, std::uint64_t count, int size, int percent)
{
    switch (size) {
    case -16:
        scale_samples<Sint16, 0, -32768, 32767>(bytes, count, percent);
        break;
    case 16:
        scale_samples<Uint16, 32768, -32768, 32767>(bytes, count, percent);
        break;
    case -8:
        scale_samples<Sint8, 0, -128, 127>(bytes, count, percent);
        break;
    default:
        scale_samples<Uint8, 128, -128, 127>(bytes, count, percent);
        break;
    }
}

// SDL's audio callback, on SDL's audio thread.
void SDLCALL play_ring(void *, Uint8 *stream, int len)
{
    Device &d = device;
    const auto length = static_cast<std::uint64_t>(std::max(len, 0));
    if (d.ring == nullptr) {
        std::memset(stream, 0, length);
        return;
    }
    const std::uint64_t wanted = length - length % d.frame_bytes;
    const std::uint64_t taken = d.taken.load(std::memory_order_relaxed);
    const std::uint64_t count =
        std::min(d.written.load(std::memory_order_acquire) - taken, wanted);
    // The frames run to the ring's end, and on from its start.
    const std::uint64_t start = taken % d.capacity;
    const std::uint64_t first = std::min(count, d.capacity - start);
    std::memcpy(stream, d.ring + start, first);
    std::memcpy(stream + first, d.ring, count - first);
    d.taken.store(taken + count, std::memory_order_release);

    const int percent = d.volume.load(std::memory_order_relaxed);
    if (d.muted.load(std::memory_order_relaxed) || percent == 0)
        fill_silence(stream, count, d.size);
    else if (percent != 100)
        scale(stream, count, d.size, percent);
    fill_silence(stream + count, length - count, d.size);

    d.frames_taken += count / d.frame_bytes;
    d.last_frames = count / d.frame_bytes;
    d.last_call_ns = now_ns();
    // Short while playing what was queued: the ring ran dry.  A ring that
    // is empty because nothing was queued since the last flush is not.
    if (count < wanted && d.playing.load(std::memory_order_relaxed) &&
        d.fed.load(std::memory_order_relaxed))
        d.underruns.fetch_add(1, std::memory_order_relaxed);
}

// SDL's buffer: the most frames, a power of two, that last at most 40 ms,
// so at least 20 ms.
Uint16 device_samples(int frequency)
{
    const auto frames = std::bit_floor(static_cast<unsigned>(frequency / 25));
    return static_cast<Uint16>(std::clamp(frames, 1u, 32768u));
}

void close_device()
{
    if (!opened.open)
        return;
    // SDL's audio thread has ended when this returns: no callback reads the
    // ring after it.
    SDL_CloseAudio();
    PyMem_RawFree(device.ring);
    device.ring = nullptr;
    opened.open = false;
}

bool sound_ready()
{
    if (opened.open)
        return true;
    api::raise_library_error(api_slots, "sound not open");
    return false;
}

// Seconds of the queued sound heard since the last flush.  The last
// callback's frames are in SDL's buffer, which plays them from that callback
// on, in real time; everything taken before them has been heard.
double heard_seconds()
{
    SDL_LockAudio();
    const std::uint64_t frames = device.frames_taken;
    const std::uint64_t last = device.last_frames;
    const std::int64_t last_call = device.last_call_ns;
    SDL_UnlockAudio();
    const double frequency = opened.frequency;
    const double since =
        static_cast<double>(std::max<std::int64_t>(now_ns() - last_call, 0)) / 1e9;
    return static_cast<double>(frames - last) / frequency +
           std::min(since, static_cast<double>(last) / frequency);
}

// The clock: frozen while paused, and never below what it gave before.
double clock_seconds()
{
    if (!opened.paused)
        opened.clock = std::max(opened.clock, heard_seconds());
    return opened.clock;
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
    desired.samples = device_samples(frequency);
    desired.callback = play_ring;
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
    // the ring to its thread all the same.
    SDL_LockAudio();
    device.ring = pending.ring;
    device.capacity = capacity;
    device.frame_bytes = frame_bytes;
    device.size = format->size;
    device.written.store(0);
    device.taken.store(0);
    device.volume.store(100);
    device.muted.store(false);
    device.playing.store(false);
    device.fed.store(false);
    device.underruns.store(0);
    device.frames_taken = 0;
    device.last_frames = 0;
    device.last_call_ns = 0;
    SDL_UnlockAudio();
    pending.keep();
    opened = Opened{true, obtained.freq, obtained.samples, true, 0};
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

// --- queue, flush ------------------------------------------------------------

PyObject *sound_queue(PyObject *, PyObject *args)
{
    PyObject *data = nullptr;
    if (!PyArg_ParseTuple(args, "O:queue", &data))
        return nullptr;
    brilox::HeldBuffer held;
    if (!held.take(data, PyBUF_C_CONTIGUOUS))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    const auto length = static_cast<std::uint64_t>(held.view().len);
    if (length % device.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError,
                     "data must be whole sample frames of %u bytes, not %zd bytes",
                     device.frame_bytes, held.view().len);
        return nullptr;
    }
    const std::uint64_t written = device.written.load(std::memory_order_relaxed);
    const std::uint64_t room =
        device.capacity - (written - device.taken.load(std::memory_order_acquire));
    const std::uint64_t count = std::min(length, room);
    const std::uint64_t start = written % device.capacity;
    const std::uint64_t first = std::min(count, device.capacity - start);
    const auto *from = static_cast<const std::uint8_t *>(held.view().buf);
    std::memcpy(device.ring + start, from, first);
    std::memcpy(device.ring, from + first, count - first);
    device.written.store(written + count, std::memory_order_release);
    if (count > 0)
        device.fed.store(true, std::memory_order_relaxed);
    return PyLong_FromUnsignedLongLong(count);
}

PyObject *sound_flush(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    SDL_LockAudio();
    device.taken.store(device.written.load(std::memory_order_relaxed),
                       std::memory_order_relaxed);
    device.fed.store(false, std::memory_order_relaxed);
    device.frames_taken = 0;
    device.last_frames = 0;
    SDL_UnlockAudio();
    opened.clock = 0;
    return brilox::none();
}

PyObject *sound_queued(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(device.written.load(std::memory_order_relaxed) -
                                       device.taken.load(std::memory_order_relaxed));
}

PyObject *sound_underruns(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(device.underruns.load(std::memory_order_relaxed));
}

// --- pause, volume, mute -----------------------------------------------------

PyObject *sound_pause(PyObject *, PyObject *args)
{
    int pause = 0;
    if (!PyArg_ParseTuple(args, "p:pause", &pause))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    if (pause && !opened.paused) {
        clock_seconds();  // the clock stops where it is now
        opened.paused = true;
        device.playing.store(false, std::memory_order_relaxed);
        SDL_PauseAudio(1);
    } else if (!pause && opened.paused) {
        opened.paused = false;
        device.playing.store(true, std::memory_order_relaxed);
        SDL_PauseAudio(0);
    }
    return brilox::none();
}

PyObject *sound_set_volume(PyObject *, PyObject *args)
{
    int percent = 0;
    if (!PyArg_ParseTuple(args, "i:set_volume", &percent))
        return nullptr;
    if (percent < 0 || percent > 100) {
        PyErr_SetString(PyExc_ValueError, "volume must be 0 to 100");
        return nullptr;
    }
    if (!sound_ready())
        return nullptr;
    device.volume.store(percent, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_volume(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromLong(device.volume.load(std::memory_order_relaxed));
}

PyObject *sound_set_mute(PyObject *, PyObject *args)
{
    int mute = 0;
    if (!PyArg_ParseTuple(args, "p:set_mute", &mute))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    device.muted.store(mute != 0, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_mute(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyBool_FromLong(device.muted.load(std::memory_order_relaxed));
}

// --- clock, latency ----------------------------------------------------------

PyObject *sound_clock(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyFloat_FromDouble(clock_seconds());
}

PyObject *sound_latency(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    const std::uint64_t queued = device.written.load(std::memory_order_relaxed) -
                                 device.taken.load(std::memory_order_relaxed);
    const double frames = static_cast<double>(queued / device.frame_bytes) + opened.samples;
    return PyFloat_FromDouble(frames / opened.frequency);
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
             "open SDL's audio device, paused, at volume 100 and not muted, closing one\n"
             "already open.  size is the sample format: -16 signed 16-bit, 16 unsigned 16-bit\n"
             "(both in the machine's byte order), -8 signed 8-bit, 8 unsigned 8-bit.\n"
             "Returns what SDL gave, which may differ from what was asked (queue that):\n"
             "(frequency, channels, size, samples, buffer_bytes), the last two SDL's buffer\n"
             "in frames (a power of two of 20-40 ms where SDL takes it) and in bytes.  The\n"
             "ring that queue() fills holds buffer_seconds of sound, in whole frames.");

PyDoc_STRVAR(queue_doc,
             "queue($module, data, /)\n--\n\n"
             "copy as many whole frames of data (any C-contiguous bytes-like object, whole\n"
             "frames in the format open() returned) into the ring as fit; returns the bytes\n"
             "taken, 0 when the ring is full.  Queue the rest later.");

PyDoc_STRVAR(clock_doc,
             "clock($module, /)\n--\n\n"
             "seconds of queued sound heard since open() or the last flush(): the frames\n"
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
             "how many of SDL's callbacks since open() found the ring short while playing,\n"
             "after something was queued since the last flush (so played silence in part)");

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
     "flush($module, /)\n--\n\nempty the ring, and start the clock again at 0"},
    {"queued", sound_queued, METH_NOARGS,
     "queued($module, /)\n--\n\nthe bytes waiting in the ring"},
    {"underruns", sound_underruns, METH_NOARGS, underruns_doc},
    {"pause", sound_pause, METH_VARARGS,
     "pause($module, flag, /)\n--\n\n"
     "stop SDL calling for sound while flag is true (it plays silence);\n"
     "open() leaves the device paused"},
    {"set_volume", sound_set_volume, METH_VARARGS,
     "set_volume($module, percent, /)\n--\n\n"
     "scale every sample by percent (0 to 100) of itself,\nrounded, from the next callback on"},
    {"get_volume", sound_get_volume, METH_NOARGS,
     "get_volume($module, /)\n--\n\nthe volume in percent"},
    {"set_mute", sound_set_mute, METH_VARARGS,
     "set_mute($module, flag, /)\n--\n\n"
     "play silence in place of the queued sound, which is still\n"
     "taken from the ring, so that the clock runs on"},
    {"get_mute", sound_get_mute, METH_NOARGS, "get_mute($module, /)\n--\n\ntrue while muted"},
    {"clock", sound_clock, METH_NOARGS, clock_doc},
    {"latency", sound_latency, METH_NOARGS, latency_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef sound_module = {
    PyModuleDef_HEAD_INIT,
    "sound",
    "brilox module to play sound: a ring of sample frames that SDL's audio device plays",
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
    Ref module = Ref::steal(PyModule_Create2(&sound_module, 1013));
    if (!module)
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
