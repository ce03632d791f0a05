// Resource identifiers of the Windows program, shared by the resource script and the code.
// Plain macros: the resource compiler reads this file too. The string identifiers (101..115) are
// those of ../StringTable.h.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_VELMOUPDATOR_DIALOG 103
#define IDR_MAINFRAME 128
// The firmware image, resource type "BIN" (FirmwareResource.h).
#define IDR_FIRMWARE 129

// Controls of the main window (1 = IDOK "Execute", 2 = IDCANCEL "Exit").
#define IDC_MIDI_IN 1000
#define IDC_MIDI_OUT 1001
#define IDC_PROGRESS 1002
#define IDC_STATUS 1003
#define IDC_RESCAN 1004
#define IDC_PICTURE 1005
// Control of the About box: the read-only field with the program's name.
#define IDC_VERSION 1003
