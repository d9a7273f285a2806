// The BASS_* entry points: argument checks, the per-thread error code, and the
// catch that keeps every exception inside the engine.

#include "AudioEngine.h"

#include "Engine.h"
#include "EngineTesting.h"

#include <fstream>
#include <new>
#include <vector>

using sonvale::audio::Engine;

namespace {

thread_local int lastError = BASS_OK;

// Runs `call`, which returns a BASS_ERROR_* code, and records that code; an
// exception becomes BASS_ERROR_MEM or BASS_ERROR_UNKNOWN.
template <typename F> bool Record(F call) {
    int code;
    try {
        code = call();
    } catch (const std::bad_alloc&) {
        code = BASS_ERROR_MEM;
    } catch (...) {
        code = BASS_ERROR_UNKNOWN;
    }
    lastError = code;
    return code == BASS_OK;
}

int ReadFile(const char* name, QWORD offset, DWORD length, std::vector<char>& bytes) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        return BASS_ERROR_FILEOPEN;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || offset >= static_cast<QWORD>(size)) {
        return BASS_ERROR_FILEFORM;
    }
    QWORD available = static_cast<QWORD>(size) - offset;
    if (length != 0 && length < available) {
        available = length;
    }
    bytes.resize(static_cast<size_t>(available));
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(available));
    return in ? BASS_OK : BASS_ERROR_FILEOPEN;
}

} // namespace

namespace sonvale::audio {

BOOL InitWithOutput(std::unique_ptr<OutputDevice> output, DWORD freq) {
    return Record([&] { return Engine::Instance().Init(std::move(output), freq); });
}

} // namespace sonvale::audio

extern "C" {

BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND, const void*) {
    return Record([&] {
        if (flags != 0 || freq < 8000 || freq > 192000) {
            return BASS_ERROR_ILLPARAM;
        }
        if (device < -1) {
            return BASS_ERROR_DEVICE;
        }
        Engine& engine = Engine::Instance();
        // Checked before the device is opened: a second open would fail with
        // another error, or succeed and hold the device twice.
        if (engine.Initialised()) {
            return BASS_ERROR_ALREADY;
        }
        int error = BASS_OK;
        std::unique_ptr<sonvale::audio::OutputDevice> output =
            device == 0 ? sonvale::audio::OpenClockOutput(freq)
                        : sonvale::audio::OpenSystemOutput(device, freq, error);
        if (!output) {
            return error;
        }
        return engine.Init(std::move(output), freq);
    });
}

BOOL BASS_Free(void) {
    return Record([] { return Engine::Instance().Free(); });
}

int BASS_ErrorGetCode(void) {
    return lastError;
}

HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags,
                      DWORD freq) {
    HMUSIC handle = 0;
    Record([&] {
        if (!file) {
            return BASS_ERROR_ILLPARAM;
        }
        if (mem) {
            if (length == 0) {
                return BASS_ERROR_ILLPARAM;
            }
            const char* bytes = static_cast<const char*>(file) + offset;
            return Engine::Instance().Load(bytes, length, flags, freq, handle);
        }
        if (!Engine::Instance().Initialised()) {
            return BASS_ERROR_INIT;
        }
        std::vector<char> bytes;
        const int read = ReadFile(static_cast<const char*>(file), offset, length, bytes);
        if (read != BASS_OK) {
            return read;
        }
        if (bytes.empty()) {
            return BASS_ERROR_FILEFORM;
        }
        return Engine::Instance().Load(bytes.data(), bytes.size(), flags, freq, handle);
    });
    return handle;
}

BOOL BASS_MusicFree(HMUSIC handle) {
    return Record([&] { return Engine::Instance().FreeMusic(handle); });
}

HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority) {
    HDSP dsp = 0;
    Record([&] { return Engine::Instance().SetDsp(handle, proc, user, priority, dsp); });
    return dsp;
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return Record([&] {
        if (attrib != BASS_ATTRIB_VOL) {
            // Checked after the handle, so that handle 0 always reports the handle.
            DWORD ignored;
            const int error = Engine::Instance().IsActive(handle, ignored);
            return error != BASS_OK ? error : BASS_ERROR_ILLTYPE;
        }
        return Engine::Instance().SetVolume(handle, value);
    });
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return Record([&] { return Engine::Instance().Play(handle, restart != FALSE); });
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    DWORD activity = BASS_ACTIVE_STOPPED;
    Record([&] { return Engine::Instance().IsActive(handle, activity); });
    return activity;
}

const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
    const char* text = nullptr;
    Record([&] {
        if (tags != BASS_TAG_MUSIC_NAME) {
            DWORD ignored;
            const int error = Engine::Instance().IsActive(handle, ignored);
            return error != BASS_OK ? error : BASS_ERROR_ILLTYPE;
        }
        return Engine::Instance().Title(handle, text);
    });
    return text;
}

} // extern "C"
