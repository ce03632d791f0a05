#include "DevsimOptions.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "CommandLine.h"

namespace {

const char* const USAGE_LINE = "Usage: tarnet-devsim [options]\n";
const char* const USAGE = R"(Usage: tarnet-devsim [options]

Plays a Tarnet device in version-up mode on a virtual MIDI input and output, so that the updater
can be run and checked without hardware. Start it, wait for the line
  devsim: ready as "USB Audio Device" on JACK
then pick "USB Audio Device" as MIDI IN and MIDI OUT in the updater and press Execute. Every
message is checked on its own (7-bit unpacking, CRC-32, address sequence); the program ends with
one verdict line, "devsim: PASS: ..." or "devsim: FAIL: ...".

Ports:
  --name NAME              device name (default "USB Audio Device"); on JACK both port short names
                           are NAME (clients NAME and NAME-01), on ALSA one client NAME has both ports,
                           named NAME
  --rawmidi DEVICE         play the device at the far end of a raw MIDI device instead (Linux, e.g.
                           /dev/snd/midiC0D0 of snd-virmidi: the host then picks the sequencer
                           client "Virtual Raw MIDI 0-0"; or the gadget side of a USB MIDI
                           device, scripts/usb-rig.sh); --name is not used. Bytes that the driver
                           received and no one read (its overruns) fail the verdict
  --byte-rate N            with --rawmidi: read at most N bytes per second (3125 = a 31250-baud
                           MIDI cable; default 0 = as fast as they come)
  --rawmidi-buffer BYTES   with --rawmidi: the driver's input buffer (default 65536, more than a
                           whole block; with --byte-rate the driver's own, as a cable interface's);
                           0 = the driver's own size
  --capture FILE           with --rawmidi: also write every byte read, in order, to FILE (to find
                           where a byte went missing or changed on the way)
Device:
  --model HEX              model of the device (default 6A; the updater accepts 6A and 69)
  --identity-model HEX     model reported in the Identity Reply (default: --model)
  --identity-status N      answer the Identity Request with a STATUS of code N (0..127) instead
                           of the Identity Reply
  --answer-delay MS[-MS]   delay of every message the device sends (default 0-5)
  --erase-delay MS         extra time before ERASE is answered (default 0)
  --erase-status N         status answered to ERASE (default 0; 11 = not in version-up mode)
  --finish-status N        status answered to FINISH (default 0)
  --finish-delay MS        extra time before FINISH is answered (default 0)
  --block-delay MS         answer each data block MS after beginning to handle it (a flash write);
                           messages are then handled one at a time in order, each begun when the
                           one before is done (default 0: blocks are answered as other messages)
  --store-at-address       store each block at its own address: any block wholly inside the
                           image is accepted and written there, in any order (no address
                           sequence); BLOCK below is then the block's address index
  --no-finish-reply        do not answer FINISH
  --mute                   never send anything
Faults (BLOCK is the 0-based index of a block: 0 at 0xA0000 ... 35 at 0xEEC00):
  --refuse BLOCK:COUNT[:STATUS]  refuse that block COUNT times with STATUS (default 1) before
                           accepting it; STATUS 11 = "not in version-up mode"; repeatable
  --drop-reply BLOCK       swallow the first answer to that block (the updater then times out)
  --repeat-answer erase:MS | BLOCK:MS | all:MS
                           send the answer to ERASE, or to the first send of that block, a second
                           time MS after the first (all: every answer, ERASE's, each block's and
                           FINISH's); the repeat goes out at its own time, before answers due
                           later; repeatable
  --long-first BYTES[:MS]  before each Identity Reply send a SysEx of BYTES bytes (F0 7D 00 MODEL
                           00 00 ... F7), and the reply MS later (default 0)
The device's own requests:
  --pull ADDR:LEN[:WHEN]   ask the host for LEN bytes at ADDR (hex, e.g. A0000:16) and check the
                           answer against the image; WHEN = start (after the host's first
                           Identity Request) or end (after FINISH, default); repeatable
  --ask-identity[=WHEN]    ask the host's identity (WHEN as above, default end)
  --burst BLOCK:COUNT      right after accepting that block, send COUNT requests at once (two
                           unknown to the host, answered with STATUS 1, then an Identity
                           Request, and so on); all answers must come in order
Checks and results:
  --expect-image FILE      the image the host should send (327680 bytes); compared at the end
  --out FILE               write the received image (327680 bytes, FF where nothing arrived)
  --lenient                malformed or unexpected host messages do not fail the verdict
Run:
  --once                   end after the first completed update (default)
  --serve                  keep serving updates until SIGINT/SIGTERM (or --timeout)
  --timeout SEC            give up after SEC seconds without completion (default 300 with --once,
                           no limit with --serve); 0 = no limit
  --seed N                 seed of the answer delays (default 1)
  --quiet                  print only the ready line and the verdict
  --counts                 on JACK, print before the verdict one line of counts: events read,
                           written and lost, late cycles the server reported (all of them, and
                           those after the latest event written), the clients' names
  --help                   display this help and exit
  --version                output version information and exit

Status codes the device answers to a data block: 0 accepted, 1 refused (fault schedule),
2 checksum error, 3 sequence error (wrong address, no ERASE before, past the image),
4 frame error (sizes, bit 7 set, no F7, padding bits, empty block), 5 wrong model.

Exit status:
  0  PASS
  1  FAIL (also on time-out)
  2  usage error or no MIDI system
)";

const cli::Program PROGRAM{"tarnet-devsim", USAGE_LINE, USAGE};
using cli::UsageError;
using Milliseconds = std::chrono::milliseconds;

unsigned long ParseNumber(const std::string& text, int base, unsigned long max, const std::string& what) {
    std::string t = text;
    if (base == 16 && (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0)) t = t.substr(2);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = t.empty() ? 0 : std::strtoul(t.c_str(), &end, base);
    if (t.empty() || errno != 0 || *end != '\0' || t[0] == '-' || v > max)
        throw UsageError{"bad " + what + " '" + text + "'"};
    return v;
}

Milliseconds ParseDelay(const std::string& text, unsigned long max) {
    return Milliseconds(ParseNumber(text, 10, max, "delay"));
}

uint8_t ParseStatus(const std::string& text) { return static_cast<uint8_t>(ParseNumber(text, 10, 127, "status")); }

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

devsim::Trigger ParseTrigger(const std::string& text) {
    if (text == "start") return devsim::Trigger::Start;
    if (text == "end") return devsim::Trigger::End;
    throw UsageError{"WHEN must be start or end, not '" + text + "'"};
}

// One option at a time: "--name value" or "--name=value".
class OptionReader {
public:
    OptionReader(int argc, char** argv) : m_argc(argc), m_argv(argv) {}

    bool Next() {
        if (m_index + 1 >= m_argc) return false;
        m_name = m_argv[++m_index];
        m_inline.reset();
        if (const size_t eq = m_name.find('='); m_name.rfind("--", 0) == 0 && eq != std::string::npos) {
            m_inline = m_name.substr(eq + 1);
            m_name.resize(eq);
        }
        return true;
    }
    const std::string& Name() const { return m_name; }
    const std::optional<std::string>& InlineValue() const { return m_inline; }
    std::string Value() {
        if (m_inline) return *m_inline;
        if (m_index + 1 >= m_argc) throw UsageError{m_name + " needs a value"};
        return m_argv[++m_index];
    }
    // A flag: true, or a usage error when it was given a value.
    bool Flag() const {
        if (m_inline) throw UsageError{m_name + " takes no value"};
        return true;
    }
    std::string NonEmptyValue() {
        std::string v = Value();
        if (v.empty()) throw UsageError{"empty " + m_name};
        return v;
    }

private:
    int m_argc;
    char** m_argv;
    int m_index = 0;
    std::string m_name;
    std::optional<std::string> m_inline;
};

// Options whose defaults depend on others: unset unless given.
struct Given {
    std::optional<long> rawBuffer;
    std::optional<long> timeoutSec;
};

// Each of these reads the option that `r` stands at when it is one of its group; false otherwise.

bool ReadPortOption(OptionReader& r, DevsimOptions& o, Given& given) {
    const std::string& arg = r.Name();
    if (arg == "--name") {
        o.name = r.NonEmptyValue();
    } else if (arg == "--rawmidi") {
        o.rawPath = r.NonEmptyValue();
    } else if (arg == "--byte-rate") {
        o.byteRate = static_cast<unsigned>(ParseNumber(r.Value(), 10, 10000000, "byte rate"));
    } else if (arg == "--capture") {
        o.capturePath = r.NonEmptyValue();
    } else if (arg == "--rawmidi-buffer") {
        given.rawBuffer = static_cast<long>(ParseNumber(r.Value(), 10, 1024 * 1024, "buffer size"));
    } else {
        return false;
    }
    return true;
}

bool ReadDeviceOption(OptionReader& r, devsim::DeviceSimulatorConfig& c) {
    const std::string& arg = r.Name();
    if (arg == "--model") {
        c.model = static_cast<uint8_t>(ParseNumber(r.Value(), 16, 0x7F, "model"));
    } else if (arg == "--identity-status") {
        c.identityStatus = ParseStatus(r.Value());
    } else if (arg == "--identity-model") {
        c.identityModel = static_cast<uint8_t>(ParseNumber(r.Value(), 16, 0x7F, "model"));
    } else if (arg == "--answer-delay") {
        const auto parts = Split(r.Value(), '-');
        if (parts.size() > 2) throw UsageError{"--answer-delay takes MS or MIN-MAX"};
        c.answerDelayMin = ParseDelay(parts[0], 600000);
        c.answerDelayMax = parts.size() == 2 ? ParseDelay(parts[1], 600000) : c.answerDelayMin;
    } else if (arg == "--erase-delay") {
        c.eraseDelay = ParseDelay(r.Value(), 3600000);
    } else if (arg == "--erase-status") {
        c.eraseStatus = ParseStatus(r.Value());
    } else if (arg == "--finish-status") {
        c.finishStatus = ParseStatus(r.Value());
    } else if (arg == "--no-finish-reply" && r.Flag()) {
        c.finishStatus.reset();
    } else if (arg == "--finish-delay") {
        c.finishDelay = ParseDelay(r.Value(), 3600000);
    } else if (arg == "--block-delay") {
        c.blockAnswerDelay = ParseDelay(r.Value(), 600000);
    } else if (arg == "--store-at-address") {
        c.storeAtAddress = r.Flag();
    } else if (arg == "--mute") {
        c.mute = r.Flag();
    } else {
        return false;
    }
    return true;
}

bool ReadFaultOption(OptionReader& r, devsim::DeviceSimulatorConfig& c) {
    const std::string& arg = r.Name();
    if (arg == "--refuse") {
        const auto parts = Split(r.Value(), ':');
        if (parts.size() < 2 || parts.size() > 3) throw UsageError{"--refuse takes BLOCK:COUNT[:STATUS]"};
        devsim::RefuseRule rule;
        rule.block = static_cast<int>(ParseNumber(parts[0], 10, 1000, "block index"));
        rule.count = static_cast<int>(ParseNumber(parts[1], 10, 1000000, "count"));
        if (parts.size() == 3) rule.status = ParseStatus(parts[2]);
        if (rule.status == 0) throw UsageError{"a refusal needs a non-zero status"};
        c.refusals.push_back(rule);
    } else if (arg == "--drop-reply") {
        c.dropReplyBlock = static_cast<int>(ParseNumber(r.Value(), 10, 1000, "block index"));
    } else if (arg == "--repeat-answer") {
        const auto parts = Split(r.Value(), ':');
        if (parts.size() != 2) throw UsageError{"--repeat-answer takes erase:MS, BLOCK:MS or all:MS"};
        devsim::RepeatRule rule;
        rule.block = parts[0] == "erase" ? devsim::FaultSchedule::ERASE
                     : parts[0] == "all" ? devsim::FaultSchedule::EVERY
                                         : static_cast<int>(ParseNumber(parts[0], 10, 1000, "block index"));
        rule.after = ParseDelay(parts[1], 600000);
        c.repeats.push_back(rule);
    } else if (arg == "--long-first") {
        const auto parts = Split(r.Value(), ':');
        if (parts.size() > 2) throw UsageError{"--long-first takes BYTES[:MS]"};
        c.longMessageBytes = static_cast<uint32_t>(ParseNumber(parts[0], 10, 1000000, "length"));
        if (parts.size() == 2) c.identityReplyDelay = ParseDelay(parts[1], 600000);
    } else {
        return false;
    }
    return true;
}

bool ReadRequestOption(OptionReader& r, devsim::DeviceSimulatorConfig& c) {
    const std::string& arg = r.Name();
    if (arg == "--pull") {
        const auto parts = Split(r.Value(), ':');
        if (parts.size() < 2 || parts.size() > 3) throw UsageError{"--pull takes ADDR:LEN[:start|end]"};
        devsim::BlockPull pull;
        pull.address = static_cast<uint32_t>(ParseNumber(parts[0], 16, 0xFFFFFFFFul, "address"));
        pull.length = static_cast<uint32_t>(ParseNumber(parts[1], 10, devsim::MAX_BLOCK_LENGTH, "length"));
        if (parts.size() == 3) pull.when = ParseTrigger(parts[2]);
        c.pulls.push_back(pull);
    } else if (arg == "--ask-identity") {
        c.askIdentity = r.InlineValue() ? ParseTrigger(*r.InlineValue()) : devsim::Trigger::End;
    } else if (arg == "--burst") {
        const auto parts = Split(r.Value(), ':');
        if (parts.size() != 2) throw UsageError{"--burst takes BLOCK:COUNT"};
        c.burstAfterBlock = static_cast<int>(ParseNumber(parts[0], 10, 35, "block"));
        c.burstCount = static_cast<int>(ParseNumber(parts[1], 10, 100000, "count"));
    } else {
        return false;
    }
    return true;
}

std::vector<uint8_t> ReadImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"can't read " + path};
    std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (image.size() != devsim::IMAGE_BYTES)
        throw UsageError{path + " holds " + std::to_string(image.size()) + " bytes, not " +
                         std::to_string(devsim::IMAGE_BYTES)};
    return image;
}

// Checks and results, and how the run goes and ends.
bool ReadRunOption(OptionReader& r, DevsimOptions& o, Given& given) {
    const std::string& arg = r.Name();
    if (arg == "--expect-image") {
        o.config.expectedImage = ReadImage(r.Value());
    } else if (arg == "--out") {
        o.outPath = r.Value();
    } else if (arg == "--lenient") {
        o.config.strict = !r.Flag();
    } else if (arg == "--once") {
        o.serve = !r.Flag();
    } else if (arg == "--serve") {
        o.serve = r.Flag();
    } else if (arg == "--timeout") {
        given.timeoutSec = static_cast<long>(ParseNumber(r.Value(), 10, 86400 * 365, "time-out"));
    } else if (arg == "--seed") {
        o.config.seed = static_cast<uint32_t>(ParseNumber(r.Value(), 10, 0xFFFFFFFFul, "seed"));
    } else if (arg == "--quiet") {
        o.quiet = r.Flag();
    } else if (arg == "--counts") {
        o.counts = r.Flag();
    } else {
        return false;
    }
    return true;
}

}  // namespace

ParsedDevsimCommandLine ParseDevsimCommandLine(int argc, char** argv) {
    ParsedDevsimCommandLine parsed;
    DevsimOptions& o = parsed.options;
    Given given;
    try {
        OptionReader r(argc, argv);
        while (r.Next()) {
            if (const auto done = cli::StandardOption(PROGRAM, r.Name())) {
                parsed.exitStatus = *done;
                return parsed;
            }
            const bool known = ReadPortOption(r, o, given) || ReadDeviceOption(r, o.config) ||
                               ReadFaultOption(r, o.config) || ReadRequestOption(r, o.config) ||
                               ReadRunOption(r, o, given);
            if (!known) throw UsageError{"unknown option '" + r.Name() + "'"};
        }
    } catch (const UsageError& e) {
        parsed.exitStatus = cli::ReportUsageError(PROGRAM, e.text);
        return parsed;
    }
    o.timeoutSec = given.timeoutSec.value_or(o.serve ? 0 : 300);
    // A cable interface keeps the driver's own buffer; otherwise one larger than a whole block.
    o.rawBuffer = given.rawBuffer.value_or(o.byteRate > 0 ? 0 : 65536);
    return parsed;
}
