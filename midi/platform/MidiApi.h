// The platform MIDI layer as the port wrappers see it.
//
// The interface mirrors the operating system's multimedia MIDI services: a result code of 0 means
// success, devices are addressed by a 0-based index, SysEx buffers travel in a header record that
// the device fills and marks done. CMidiInPort and CMidiOutPort follow their algorithms step by
// step against this interface; each backend (ALSA sequencer, JACK, WinMM, RtMidi on CoreMIDI,
// in-process loopback) lives in a folder of its own and only maps these calls onto its MIDI system.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// No system header here: this header is included everywhere, and <windows.h> would bring its
// macros (min, max, MIM_LONGDATA, ...) into every file. The WinMM backend checks that the values
// and the header layout below are the system's own.
namespace platform {

using MidiResult = std::uint32_t;

constexpr MidiResult MIDI_OK = 0;               // MMSYSERR_NOERROR
constexpr MidiResult MIDI_ERR_GENERIC = 1;      // MMSYSERR_ERROR
constexpr MidiResult MIDI_ERR_BADDEVICEID = 2;  // MMSYSERR_BADDEVICEID
constexpr MidiResult MIDI_ERR_ALLOCATED = 4;    // MMSYSERR_ALLOCATED: device busy
constexpr MidiResult MIDI_ERR_INVALHANDLE = 5;  // MMSYSERR_INVALHANDLE
constexpr MidiResult MIDI_ERR_NODRIVER = 6;     // MMSYSERR_NODRIVER: MIDI system absent or gone
constexpr MidiResult MIDI_ERR_NOMEM = 7;        // MMSYSERR_NOMEM
constexpr MidiResult MIDI_ERR_NOTSUPPORTED = 8; // MMSYSERR_NOTSUPPORTED
constexpr MidiResult MIDI_ERR_UNPREPARED = 64;  // MIDIERR_UNPREPARED
constexpr MidiResult MIDI_ERR_STILLPLAYING = 65;// MIDIERR_STILLPLAYING: header still with the device
constexpr MidiResult MIDI_ERR_NODEVICE = 68;    // MIDIERR_NODEVICE: the device has left the system

// Results that say the device (or the whole MIDI system) has gone away, rather than refused.
constexpr bool MeansDeviceGone(MidiResult r) { return r == MIDI_ERR_NODRIVER || r == MIDI_ERR_NODEVICE; }

// Notification codes passed to an input callback, with the values of the multimedia MIM_* codes.
// Spelled apart from those, which <mmsystem.h> defines as macros.
constexpr std::uint32_t MIDI_IN_OPEN = 0x3C1;       // MIM_OPEN
// MIM_CLOSE. WinMM sends it when the input is closed; every backend sends it when the device leaves
// the system while the input is open (unplugged, its program ended, the MIDI system went away).
// It may come on any thread of the MIDI system; nothing arrives from the device after it.
constexpr std::uint32_t MIDI_IN_CLOSE = 0x3C2;
constexpr std::uint32_t MIDI_IN_DATA = 0x3C3;       // MIM_DATA; param1: short message, status in the low byte
constexpr std::uint32_t MIDI_IN_LONGDATA = 0x3C4;   // MIM_LONGDATA; param1: the MidiHeader* of a returned buffer
constexpr std::uint32_t MIDI_IN_ERROR = 0x3C5;      // MIM_ERROR
constexpr std::uint32_t MIDI_IN_LONGERROR = 0x3C6;  // MIM_LONGERROR

// Header flags (MHDR_*).
constexpr std::uint32_t MIDI_HDR_DONE = 0x1;
constexpr std::uint32_t MIDI_HDR_PREPARED = 0x2;
constexpr std::uint32_t MIDI_HDR_INQUEUE = 0x4;

// Longest product name, NUL included, in UTF-8. The systems name devices in at most 31
// characters (WinMM: 31 UTF-16 units, MAXPNAMELEN 32 with the NUL), which take up to 3 bytes each
// in UTF-8 (the Japanese default device name alone takes 32), so the record leaves room for them.
constexpr std::size_t MAX_PNAME_LEN = 128;

// Layout and field names of the multimedia MIDIHDR, so the port code reads the same everywhere;
// the WinMM backend hands it to the system as it is. The system declares MIDIHDR packed to single
// bytes, which puts the two pointer-sized fields after dwFlags off their natural alignment; they
// are byte arrays here (nothing in the program reads them), so that the record has the system's
// offsets without being packed, and dwFlags can be read atomically while a device sets it.
struct MidiHeader {
    char* lpData;                  // the caller's bytes
    std::uint32_t dwBufferLength;  // size of lpData
    std::uint32_t dwBytesRecorded; // input: bytes the device wrote
    std::uintptr_t dwUser;
    std::uint32_t dwFlags;         // MIDI_HDR_*; a backend sets MIDI_HDR_DONE when it returns the buffer
    unsigned char lpNext[sizeof(void*)];              // the system's, unaligned
    unsigned char reserved[sizeof(std::uintptr_t)];  // the system's, unaligned
    std::uint32_t dwOffset;
    std::uintptr_t dwReserved[8];
};

// Opaque device handles; null is "no device".
struct MidiInDevice;
struct MidiOutDevice;
struct MidiOutWatchRecord;
using MidiInHandle = MidiInDevice*;
using MidiOutHandle = MidiOutDevice*;
using MidiOutWatch = MidiOutWatchRecord*;

// Capability record: the product name, NUL-terminated, at most MAX_PNAME_LEN - 1 bytes.
struct MidiDevCaps {
    char szPname[MAX_PNAME_LEN];
};

// Writes a UTF-8 device name into caps: cut to MAX_PNAME_LEN - 1 bytes at a character boundary
// (never inside a multi-byte sequence) and NUL-terminated, the rest of the field zeroed.
inline void SetProductName(MidiDevCaps& caps, std::string_view name) {
    std::size_t n = name.size() < MAX_PNAME_LEN - 1 ? name.size() : MAX_PNAME_LEN - 1;
    if (n < name.size()) {
        // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    }
    std::memset(caps.szPname, 0, sizeof caps.szPname);
    std::memcpy(caps.szPname, name.data(), n);
}

// Which unit a device is, where its MIDI system can tell: the serial number of a USB device (one
// without a serial number has none) and its place on the USB bus as the system names it ("1-1.2":
// bus 1, port 1 of the root hub, port 2 of the hub there). Empty when not known: a software
// device, a device that is not USB, a MIDI system that does not say.
struct MidiDevUnit {
    std::string usbSerial;
    std::string usbPath;

    friend bool operator==(const MidiDevUnit&, const MidiDevUnit&) = default;
};

// Input callback. Runs on a thread of the MIDI system (never the caller of Open); `instance` is the
// value given to Open. For MIM_LONGDATA, param1 is the MidiHeader* of the returned buffer.
using MidiInProc = void (*)(MidiInHandle handle, std::uint32_t msg, std::uintptr_t instance,
                            std::uintptr_t param1, std::uintptr_t param2);

// Output side. Thread-safety: a backend may be called from several threads, but never for the same
// handle at once (the send path serialises every use of one output).
class IMidiOutApi {
public:
    virtual ~IMidiOutApi() = default;
    virtual std::uint32_t GetNumDevs() = 0;
    virtual MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) = 0;
    // The unit of device `index`, as GetDevCaps last showed it. MIDI_ERR_NOTSUPPORTED (and an
    // empty unit) from a backend whose system does not say; an unknown unit is never an error of
    // the listing.
    virtual MidiResult GetDevUnit(std::uint32_t index, MidiDevUnit& unit) {
        (void)index;
        unit = {};
        return MIDI_ERR_NOTSUPPORTED;
    }
    // Opens device `index` with no callback. An index that names no device (such as the -1 of "no
    // selection") fails, unless the backend has a device mapper that answers it.
    virtual MidiResult Open(MidiOutHandle* handle, std::uint32_t index) = 0;
    virtual MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) = 0;
    // Hands the whole SysEx message to the device. The backend sets MHDR_DONE in the header once it
    // no longer reads the bytes (at once for backends that send synchronously).
    virtual MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) = 0;
    // The moment from which the device can have had the whole message that the last LongMsg on
    // `handle` sent: just before its last bytes were handed on to the MIDI system (written into a
    // process cycle's buffer, delivered to the sequencer). False where the backend can't tell;
    // the port then takes the moment it called LongMsg, which is never later. Called on the
    // sending thread once LongMsg has marked the header done.
    virtual bool HandedOverAt(MidiOutHandle handle, std::chrono::steady_clock::time_point* at) {
        (void)handle;
        (void)at;
        return false;
    }
    // Returns every pending buffer as done.
    virtual MidiResult Reset(MidiOutHandle handle) = 0;
    virtual MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) = 0;
    virtual MidiResult Close(MidiOutHandle handle) = 0;

    // Gives up what `handle` is sending: bytes that have not gone out yet are dropped, headers are
    // returned as done, and a LongMsg that is waiting on another thread (for room, for the wire)
    // returns at once with an error. The one call that may meet another call on the same handle:
    // any thread, while the sender is inside LongMsg; the handle stays valid until Close. The
    // default is Reset, which serves a backend whose LongMsg returns at once.
    virtual MidiResult Abandon(MidiOutHandle handle) { return Reset(handle); }

    // True when the device that `handle` is open on has left the system, as the MIDI system
    // announced it during the send (WinMM: MOM_CLOSE). Any thread; the sender polls it while it
    // waits for the done flag.
    virtual bool DeviceGone(MidiOutHandle handle) { (void)handle; return false; }

    // Watching a device between sends. Outputs are open only while one message goes out, so an
    // update run watches the device it sends to: Watch names device `index` as Open would, and
    // from then on the backend notes what the MIDI system announces of it; WatchedDeviceGone says
    // whether the device has left (or the MIDI system itself has gone). MIDI_ERR_NOTSUPPORTED
    // from a backend whose system announces nothing (the sends still tell a missing device), and
    // the open's errors for an index that names no device. Any thread; WatchedDeviceGone is a
    // cheap look at a flag. After Unwatch the watch must not be used again.
    virtual MidiResult Watch(MidiOutWatch* watch, std::uint32_t index) {
        (void)index;
        if (watch != nullptr) *watch = nullptr;
        return MIDI_ERR_NOTSUPPORTED;
    }
    virtual bool WatchedDeviceGone(MidiOutWatch watch) { (void)watch; return false; }
    virtual void Unwatch(MidiOutWatch watch) { (void)watch; }
};

// Input side. Open, Reset, Start, Stop and Close run on the caller's thread; the callback runs on
// the MIDI system's thread and may call PrepareHeader and AddBuffer from inside the callback to
// queue the returned buffer again. A device that leaves the system while it is open is announced
// through the callback with MIDI_IN_CLOSE.
class IMidiInApi {
public:
    virtual ~IMidiInApi() = default;
    virtual std::uint32_t GetNumDevs() = 0;
    virtual MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) = 0;
    // As IMidiOutApi::GetDevUnit.
    virtual MidiResult GetDevUnit(std::uint32_t index, MidiDevUnit& unit) {
        (void)index;
        unit = {};
        return MIDI_ERR_NOTSUPPORTED;
    }
    virtual MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                            std::uintptr_t instance) = 0;
    // Ends input and returns every queued buffer through the callback as done (MIM_LONGDATA with
    // what it had recorded, possibly 0 bytes). Returns after those callbacks have run.
    virtual MidiResult Reset(MidiInHandle handle) = 0;
    virtual MidiResult PrepareHeader(MidiInHandle handle, MidiHeader* header) = 0;
    virtual MidiResult AddBuffer(MidiInHandle handle, MidiHeader* header) = 0;
    virtual MidiResult Start(MidiInHandle handle) = 0;
    // Ends reception. A buffer that holds part of a SysEx message is returned as done with what it
    // holds; an empty queued buffer stays queued.
    virtual MidiResult Stop(MidiInHandle handle) = 0;
    virtual MidiResult UnprepareHeader(MidiInHandle handle, MidiHeader* header) = 0;
    // Closes the device. After it returns the callback is not called again for this handle.
    virtual MidiResult Close(MidiInHandle handle) = 0;
};

// The backends of the running platform: on Linux the ALSA sequencer, or JACK where the sequencer
// can't be opened; WinMM on Windows; RtMidi on CoreMIDI on macOS. They live for the whole process.
IMidiOutApi& DefaultMidiOutApi();
IMidiInApi& DefaultMidiInApi();

// What the MIDI system under the default backends has counted so far, for a program's closing
// summary. Kept on JACK only (`kept` false elsewhere).
struct MidiSystemCounts {
    bool kept = false;
    std::string client;              // the program's client, as the server names it in its log
    std::uint64_t cycles = 0;        // process cycles of that client
    std::uint64_t lateCycles = 0;    // late cycles the server reported (of any of its clients)
    std::uint64_t eventsWritten = 0; // events our output wrote
    std::uint64_t eventsRead = 0;    // events our input took
    std::uint64_t lostEvents = 0;    // events our input dropped (its ring was full)
};
MidiSystemCounts DefaultMidiSystemCounts();

}  // namespace platform
