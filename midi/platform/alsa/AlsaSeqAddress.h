// A port's address on the ALSA sequencer: the number of its client and its own number there.
#pragma once

namespace platform::alsa {

struct SeqAddress {
    int client = -1;
    int port = -1;
    bool operator==(const SeqAddress&) const = default;
};

}  // namespace platform::alsa
