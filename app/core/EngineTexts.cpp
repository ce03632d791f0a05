#include "EngineTexts.h"

#include <cstdio>

int ErrorStringId(EngineError error) {
    switch (error) {
        case EngineError::InProgress: return IDS_IN_PROGRESS;
        case EngineError::CantOpenMidiIn: return IDS_CANT_OPEN_MIDI_IN;
        case EngineError::CantOpenMidiOut: return IDS_CANT_OPEN_MIDI_OUT;
        case EngineError::IdentityTimeout: return IDS_TIMEOUT_IDENTITY;
        case EngineError::BlockTimeout: return IDS_TIMEOUT_BLOCK;
        case EngineError::IllegalDevice: return IDS_ILLEGAL_DEVICE;
        case EngineError::NotInVersionUpMode: return IDS_SET_VERSIONUP_MODE;
        case EngineError::TransferError: return IDS_TRANSFER_ERROR;
    }
    return IDS_TRANSFER_ERROR;
}

namespace {

std::string Load(const StringLoader& load, int id) {
    const char* text = load ? load(id) : nullptr;
    return text != nullptr ? text : std::string();
}

}  // namespace

std::string ErrorText(EngineError error, const StringLoader& load) {
    return Load(load, ErrorStringId(error));
}

std::string StatusText(const RunStatus& status, const StringLoader& load) {
    switch (status.kind) {
        case RunStatus::Kind::Empty: return std::string();
        case RunStatus::Kind::Erasing: return Load(load, IDS_ERASING);
        case RunStatus::Kind::Completed: return Load(load, IDS_UPDATE_COMPLETED);
        case RunStatus::Kind::DataTransmit: {
            const std::string format = Load(load, IDS_DATA_TRANSMIT);
            if (format.empty()) return format;
            char buffer[96];
            // The table's format takes exactly two int conversions.
            std::snprintf(buffer, sizeof buffer, format.c_str(), static_cast<int>(status.offset),
                          static_cast<int>(status.total));
            return buffer;
        }
    }
    return std::string();
}

const char* OutcomeName(UpdateOutcome outcome) {
    switch (outcome) {
        case UpdateOutcome::Completed: return "completed";
        case UpdateOutcome::IdentityTimeout: return "no identity reply";
        case UpdateOutcome::IllegalDevice: return "illegal device";
        case UpdateOutcome::NotInVersionUpMode: return "not in version-up mode";
        case UpdateOutcome::TransferError: return "transfer error";
        case UpdateOutcome::BlockTimeout: return "no block answer";
        case UpdateOutcome::WindowClosed: return "closed";
        case UpdateOutcome::DeviceGone: return "device disconnected";
        case UpdateOutcome::SendFailed: return "send failed";
        case UpdateOutcome::AnswersOutOfStep: return "answers out of step";
    }
    return "unknown";
}
