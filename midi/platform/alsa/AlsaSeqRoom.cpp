// The room in another client's input queue, asked of the kernel directly: libasound's
// snd_seq_get_client_pool answers only for the caller's own client, while the kernel's request
// takes any client number. Kept apart from the files that include libasound, whose types carry
// the same names as the kernel's.
#include <sys/ioctl.h>

#include <sound/asequencer.h>

#include "AlsaSeqPortInfo.h"

namespace platform::alsa {

std::optional<InputRoom> QueryInputRoom(int sequencerFd, int client) {
    snd_seq_client_pool pool{};
    pool.client = client;
    if (::ioctl(sequencerFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0) return std::nullopt;
    // A kernel client has no input queue: it takes every event as it is delivered.
    if (pool.input_pool <= 0) return std::nullopt;
    return InputRoom{pool.input_pool, pool.input_free};
}

}  // namespace platform::alsa
