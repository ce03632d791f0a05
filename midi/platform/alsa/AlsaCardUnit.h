// Which unit a sound card is, as sysfs tells it. A USB MIDI device's sequencer client belongs to a
// card (snd_seq_client_info_get_card); the card's "device" in sysfs is the USB interface that the
// driver took, and the directory above that interface is the USB device itself: its name is the
// device's place on the bus ("1-1.2") and its "serial" the serial number from its descriptor
// (absent when the device has none). Cards of other buses (PCI, a virtual MIDI card) have no
// unit here.
#pragma once

#include <string>

#include "platform/MidiApi.h"

namespace platform::alsa {

// Where sysfs is mounted.
inline constexpr const char* SYSFS_ROOT = "/sys";

// The unit of sound card `card` under the sysfs tree at `sysfsRoot`; empty for a card that is not
// on USB, for no card (-1), and for anything that the tree does not say. Reads a few small files
// and links; never throws.
MidiDevUnit CardUnit(const std::string& sysfsRoot, int card);

}  // namespace platform::alsa
