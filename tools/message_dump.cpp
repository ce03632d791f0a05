// tarnet-messages: prints the messages of a whole update in the order the host sends them
// (Identity Request, ERASE, the 36 data blocks, FINISH), assembled by the engine from the embedded
// image and captured by a recording MIDI output instead of a device.
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Encoding.h"
#include "UpdateEngine.h"

namespace {

// Keeps a copy of every message handed to it.
class RecordingMidiOut final : public platform::IMidiOutApi {
public:
    std::vector<std::vector<std::uint8_t>> messages;

    std::uint32_t GetNumDevs() override { return 1; }
    platform::MidiResult GetDevCaps(std::uint32_t, platform::MidiDevCaps& caps) override {
        std::snprintf(caps.szPname, sizeof caps.szPname, "recording output");
        return platform::MIDI_OK;
    }
    platform::MidiResult Open(platform::MidiOutHandle* handle, std::uint32_t) override {
        *handle = reinterpret_cast<platform::MidiOutHandle>(&m_device);
        return platform::MIDI_OK;
    }
    platform::MidiResult PrepareHeader(platform::MidiOutHandle, platform::MidiHeader*) override { return platform::MIDI_OK; }
    platform::MidiResult LongMsg(platform::MidiOutHandle, platform::MidiHeader* h) override {
        const auto* p = reinterpret_cast<const std::uint8_t*>(h->lpData);
        messages.emplace_back(p, p + h->dwBufferLength);
        h->dwFlags |= platform::MIDI_HDR_DONE;
        return platform::MIDI_OK;
    }
    platform::MidiResult Reset(platform::MidiOutHandle) override { return platform::MIDI_OK; }
    platform::MidiResult UnprepareHeader(platform::MidiOutHandle, platform::MidiHeader*) override { return platform::MIDI_OK; }
    platform::MidiResult Close(platform::MidiOutHandle) override { return platform::MIDI_OK; }

private:
    char m_device = 0;
};

const char USAGE_LINE[] = "Usage: tarnet-messages [OPTION]\n";
const char HELP[] =
    "Usage: tarnet-messages [OPTION]\n"
    "Print every message of a whole update in the order the host sends it: Identity Request, ERASE,\n"
    "the 36 data blocks and FINISH, as bytes in hexadecimal, assembled from the embedded image.\n"
    "No MIDI device is opened.\n"
    "\n"
    "Options:\n"
    "  --help          display this help and exit\n"
    "  --version       output version information and exit\n";
const cli::Program PROGRAM{"tarnet-messages", USAGE_LINE, HELP};

void PrintBytes(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) std::printf(" %02X", p[i]);
}

}  // namespace

int main(int argc, char** argv) {
    cli::ArgReader args(argc, argv);
    for (std::string a; args.Next(a);) {
        if (const auto done = cli::StandardOption(PROGRAM, a)) return *done;
        return cli::ReportUsageError(PROGRAM, (a.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                                                   a + "'");
    }

    RecordingMidiOut out;
    HeadlessHost host;
    CUpdateEngine engine(host, EnginePlatform{&out, nullptr, nullptr});
    engine.SelectMidiOut(0);
    const std::uint8_t model = g_acceptedModels[0];

    int failures = 0;
    failures += engine.SendIdentityRequest() != 0;
    failures += engine.SendErase(model) != 0;
    for (std::int32_t offset = 0; offset < IMAGE_SIZE; offset += BLOCK_SIZE) {
        const std::int32_t length = IMAGE_SIZE - offset < BLOCK_SIZE ? IMAGE_SIZE - offset : BLOCK_SIZE;
        failures += engine.SendDataBlock(model, IMAGE_BASE_ADDRESS + offset, length) != 0;
    }
    failures += engine.SendFinish(model) != 0;

    std::printf("Messages of one update, model 0x%02X, image of %d bytes at 0x%X\n", model, IMAGE_SIZE,
                IMAGE_BASE_ADDRESS);
    std::size_t total = 0;
    const int blocks = static_cast<int>(out.messages.size()) - 3;
    for (std::size_t i = 0; i < out.messages.size(); ++i) {
        const std::vector<std::uint8_t>& m = out.messages[i];
        total += m.size();
        std::printf("%3zu  ", i + 1);
        if (m.size() > 5 && m[1] == MANUFACTURER_ID && m[OPCODE_INDEX] == OP_BLOCK) {
            const std::uint32_t address = Read7BitGroups(&m[BLOCK_ADDRESS_INDEX], ADDRESS_GROUPS);
            const std::uint32_t length = Read7BitGroups(&m[BLOCK_LENGTH_INDEX], LENGTH_GROUPS);
            const std::uint32_t crc = Read7BitGroups(&m[m.size() - 6], ADDRESS_GROUPS);
            std::printf("BLOCK %2zu/%d  address 0x%05X  length %5u  wire %5zu  CRC 0x%08X |", i - 1, blocks,
                        address, length, m.size(), crc);
            PrintBytes(m.data(), 16);
            std::printf(" ..");
            PrintBytes(m.data() + m.size() - 8, 8);
        } else {
            const char* name = m.size() > 4 && m[1] == UNIVERSAL_NON_REALTIME ? "Identity Request"
                             : m.size() > 4 && m[OPCODE_INDEX] == OP_ERASE    ? "ERASE"
                             : m.size() > 4 && m[OPCODE_INDEX] == OP_FINISH   ? "FINISH"
                                                                              : "?";
            std::printf("%-16s %zu bytes |", name, m.size());
            PrintBytes(m.data(), m.size());
        }
        std::printf("\n");
    }
    std::printf("%zu messages, %zu bytes on the wire\n", out.messages.size(), total);
    return failures == 0 ? 0 : 1;
}
