// The program's string table: every text that the window shows in a message box or in its status
// line, and the About entry of the window menu. Identifiers are fixed; texts are used exactly.
#pragma once

enum StringId : int {
    IDS_ABOUTBOX = 101,
    IDS_TIMEOUT_IDENTITY = 102,
    IDS_TIMEOUT_BLOCK = 103,
    IDS_ILLEGAL_DEVICE = 105,
    IDS_SET_VERSIONUP_MODE = 106,
    IDS_TRANSFER_ERROR = 107,
    IDS_UPDATE_COMPLETED = 108,
    IDS_IN_PROGRESS = 109,
    IDS_CANT_OPEN_MIDI_IN = 110,
    IDS_ERROR_CAPTION = 111,
    IDS_CANT_OPEN_MIDI_OUT = 113,
    IDS_ERASING = 114,
    IDS_DATA_TRANSMIT = 115,  // printf format: offset, total
};

// The text of string `id`, or nullptr when the table has no such string.
const char* LoadStringById(int id);
