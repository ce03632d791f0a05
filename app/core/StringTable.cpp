#include "StringTable.h"

namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry STRINGS[] = {
    {IDS_ABOUTBOX, "About Tarnet Updater(&A)..."},
    {IDS_TIMEOUT_IDENTITY, "Time out error(1)"},
    {IDS_TIMEOUT_BLOCK, "Time out error(2)"},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_SET_VERSIONUP_MODE, "Please set the Version-up mode."},
    {IDS_TRANSFER_ERROR, "Transfer error occurred."},
    {IDS_UPDATE_COMPLETED, "Version update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_CANT_OPEN_MIDI_IN, "Can't open MIDI In device."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_CANT_OPEN_MIDI_OUT, "Can't open MIDI Out device."},
    {IDS_ERASING, "Erasing Flash memory."},
    {IDS_DATA_TRANSMIT, "Data transmit  %d / %d "},
};

}  // namespace

const char* LoadStringById(int id) {
    for (const Entry& e : STRINGS) {
        if (e.id == id) return e.text;
    }
    return nullptr;
}
