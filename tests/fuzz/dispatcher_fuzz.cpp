// Feeds arbitrary bytes to the dispatcher as received device messages. The first input byte picks
// how the rest is cut into messages, so runs of several messages in one tick occur as well.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Messages.h"
#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiOut.h"
#include "platform/loopback/ManualTimerService.h"
#include "RawMidiIn.h"

namespace {

struct Rig {
    platform::LoopbackMidiOut out;
    testsupport::RawMidiIn in;
    platform::ManualTimerService timers;
    HeadlessHost host;
    platform::LoopbackMidiOut::DeviceId device = out.AddDevice("dev");
    std::shared_ptr<CUpdateEngine> engine;

    Rig() {
        engine = std::make_shared<CUpdateEngine>(host, EnginePlatform{&out, &in, &timers});
        engine->SelectMidiOut(0);
        engine->RestartInput(0);
        engine->StartPollTimer();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    if (size == 0) return 0;
    const std::size_t cut = 1 + data[0] % 64;  // piece length when several messages are made
    const bool several = (data[0] & 0x80) != 0;
    ++data;
    --size;
    if (several) {
        for (std::size_t at = 0; at < size; at += cut) {
            const std::size_t n = std::min(cut, size - at);
            rig.in.Deliver(data + at, n);
        }
    } else {
        rig.in.Deliver(data, size);
    }
    rig.timers.TickAll();
    rig.out.ClearMessages(rig.device);
    g_modelId = g_acceptedModels[0];
    rig.engine->WaitForReply(0);  // no signal carries over into the next input
    return 0;
}
