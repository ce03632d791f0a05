#include "DeviceVerdict.h"

#include <algorithm>

namespace devsim {

using namespace wire;

bool JudgeUpdate(const DeviceSummary& s, const std::vector<uint8_t>& image, const DeviceSimulatorConfig& config,
                 std::string* line) {
    std::vector<std::string> reasons;
    if (!s.eraseSeen) reasons.push_back("no ERASE received");
    if (s.bytesReceived < IMAGE_BYTES)
        reasons.push_back("image incomplete: " + std::to_string(s.bytesReceived) + " of " +
                          std::to_string(IMAGE_BYTES) + " bytes");
    if (!s.finishSeen) reasons.push_back("no FINISH received");
    if (s.bytesReceived == IMAGE_BYTES && config.expectedImage.size() == IMAGE_BYTES &&
        config.expectedImage != image) {
        const auto at = std::mismatch(image.begin(), image.end(), config.expectedImage.begin()).first -
                        image.begin();
        reasons.push_back("image differs from the expected one at " +
                          Hex(IMAGE_BASE + static_cast<uint32_t>(at)));
    }
    int pullsChecked = 0;
    for (const PullRecord& p : s.pulls) {
        const std::string r = "pull " + Range(p.pull.address, p.pull.length);
        const bool inRange = InsideImage(p.pull.address, p.pull.length);
        if (!p.sent) {
            if (inRange) reasons.push_back(r + " never sent");
        } else if (!p.answered) {
            if (inRange) reasons.push_back(r + " not answered");
        } else if (!p.ok) {
            reasons.push_back(r + ": " + p.result);
        } else {
            ++pullsChecked;
        }
    }
    if (config.askIdentity) {
        if (s.hostIdentityReplies == 0)
            reasons.push_back("no host Identity Reply");
        else if (!s.hostIdentityValid)
            reasons.push_back("malformed host Identity Reply");
    }
    if (s.burstSent > 0 && (s.burstAnswered != s.burstSent || !s.burstInOrder)) {
        reasons.push_back("burst: " + std::to_string(s.burstAnswered) + " of " + std::to_string(s.burstSent) +
                          " answered in order" + (s.burstInOrder ? "" : ", answers out of their turn"));
    }
    if (config.strict) {
        if (s.blocksMalformed > 0) reasons.push_back(std::to_string(s.blocksMalformed) + " malformed blocks");
        if (s.unexpected > 0) reasons.push_back(std::to_string(s.unexpected) + " unexpected messages");
    }
    const std::string counts = std::to_string(s.blocksAccepted) + " blocks (" + std::to_string(s.blocksRefused) +
                               " refused, " + std::to_string(s.blocksMalformed) + " malformed" +
                               (s.blocksRepeated ? ", " + std::to_string(s.blocksRepeated) + " repeated" : "") + ")";
    const std::string repeats = s.answersRepeated == 0 ? std::string()
                                : s.answersRepeated == 1
                                    ? std::string(", 1 answer sent twice")
                                    : ", " + std::to_string(s.answersRepeated) + " answers sent twice";
    std::string text;
    if (reasons.empty()) {
        text = "PASS: image " + std::to_string(s.bytesReceived) + " bytes received in " + counts + ", finish " +
               (s.finishAnswered ? "answered" : "not answered (as configured)");
        if (pullsChecked > 0) text += ", " + std::to_string(pullsChecked) + " pulled blocks checked";
        if (config.askIdentity) text += ", host identity received";
        if (s.burstSent > 0)
            text += ", burst of " + std::to_string(s.burstSent) + " answered in order within " +
                    std::to_string(s.burstAnswerMs) + " ms";
        text += repeats;
    } else {
        text = "FAIL: ";
        for (size_t i = 0; i < reasons.size(); ++i) text += (i ? "; " : "") + reasons[i];
        text += " (" + std::to_string(s.bytesReceived) + " bytes in " + counts + repeats + ")";
    }
    if (line) *line = text;
    return reasons.empty();
}

}  // namespace devsim
