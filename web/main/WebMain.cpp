// The web edition's program in its worker: the bridge between the worker's JavaScript (page.js
// talks to it; worker-pre.js holds its side) and WebApp. main() runs the event loop for the
// worker's whole life: each wait of the loop suspends the program (Asyncify) until the page's next
// message or the wait's end, and the JavaScript side never calls into the program otherwise.
#include <emscripten.h>

#include <chrono>
#include <cstdlib>

#include "WebApp.h"
#include "platform/webmidi/WebDefaults.h"

namespace {

// clang-format off
EM_JS(void, tarnet_post, (const char* json), {
    tarnetWorker.post(UTF8ToString(json));
});

EM_JS(int, tarnet_send_midi, (const char* port, const unsigned char* bytes, int length), {
    return tarnetWorker.sendMidi(UTF8ToString(port), HEAPU8.slice(bytes, bytes + length)) ? 1 : 0;
});

// The next message from the page: its JSON in memory from malloc (null when none waits), its MIDI
// bytes in another block from malloc (*bytes, *count; null and 0 when it has none).
EM_JS(char*, tarnet_take, (unsigned char** bytes, int* count), {
    const message = tarnetWorker.take();
    HEAPU32[bytes >> 2] = 0;
    HEAP32[count >> 2] = 0;
    if (!message) return 0;
    const size = lengthBytesUTF8(message.json) + 1;
    const json = _malloc(size);
    stringToUTF8(message.json, json, size);
    if (message.data && message.data.length > 0) {
        const data = _malloc(message.data.length);
        HEAPU8.set(message.data, data);
        HEAPU32[bytes >> 2] = data;
        HEAP32[count >> 2] = message.data.length;
    }
    return json;
});

// Suspends the program until the page's next message waits or `ms` have passed.
EM_ASYNC_JS(void, tarnet_wait, (double ms), {
    await tarnetWorker.wait(ms);
});
// clang-format on

class WorkerPageLink final : public IPageLink {
public:
    void Post(const std::string& json) override { tarnet_post(json.c_str()); }

    bool SendMidi(const std::string& portId, const std::uint8_t* bytes, std::size_t length) override {
        return tarnet_send_midi(portId.c_str(), bytes, static_cast<int>(length)) != 0;
    }

    bool Take(PageEvent& event) override {
        unsigned char* bytes = nullptr;
        int count = 0;
        char* json = tarnet_take(&bytes, &count);
        if (json == nullptr) return false;
        event.json = json;
        event.bytes.assign(bytes, bytes + count);
        std::free(json);
        std::free(bytes);
        return true;
    }

    void Wait(std::chrono::milliseconds limit) override { tarnet_wait(static_cast<double>(limit.count())); }

    std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

int main() {
    // Never destroyed: the program lives as long as its worker.
    static WorkerPageLink page;
    static WebApp app(page, platform::WebMidiInput(), platform::WebMidiOutput(), platform::LoopTimer());
    app.Run();
    return 0;
}
