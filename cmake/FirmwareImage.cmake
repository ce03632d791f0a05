# Embeds the firmware image into the program (not written yet).
add_library(firmware_image INTERFACE)
