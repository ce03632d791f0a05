# Embeds the firmware image into the program as linked read-only data: static library
# `firmware_image`, exporting the symbol `tarnet_firmware_image_data` (IMAGE_SIZE bytes).
#
# TARNET_FIRMWARE_IMAGE names the image; configuring fails unless it is exactly 327680 bytes.
# A changed image re-runs the configuration (so the size is checked again) and rebuilds the
# object that carries it, so the programs relink. Nothing is copied or read at run time.
#
# GCC and Clang on ELF targets assemble the file straight into .rodata with `.incbin`; other
# toolchains (MSVC, Mach-O, COFF, WebAssembly) get a generated constant array. TARNET_FIRMWARE_EMBED picks
# one by hand ("incbin" or "array").

set(TARNET_FIRMWARE_IMAGE "${PROJECT_SOURCE_DIR}/app/resources/firmware.bin" CACHE FILEPATH
    "Firmware image carried inside the program (exactly 327680 bytes)")
set(TARNET_FIRMWARE_IMAGE_SIZE 327680)

if(NOT EXISTS "${TARNET_FIRMWARE_IMAGE}" OR IS_DIRECTORY "${TARNET_FIRMWARE_IMAGE}")
  message(FATAL_ERROR
    "TARNET_FIRMWARE_IMAGE: '${TARNET_FIRMWARE_IMAGE}' is not a file. "
    "It must name a firmware image of exactly ${TARNET_FIRMWARE_IMAGE_SIZE} bytes.")
endif()
file(SIZE "${TARNET_FIRMWARE_IMAGE}" _tarnet_image_size)
if(NOT _tarnet_image_size EQUAL TARNET_FIRMWARE_IMAGE_SIZE)
  message(FATAL_ERROR
    "TARNET_FIRMWARE_IMAGE: '${TARNET_FIRMWARE_IMAGE}' is ${_tarnet_image_size} bytes. "
    "The firmware image must be exactly ${TARNET_FIRMWARE_IMAGE_SIZE} bytes.")
endif()
if(TARNET_FIRMWARE_IMAGE MATCHES "[\"\\\\\n]")
  message(FATAL_ERROR "TARNET_FIRMWARE_IMAGE: the path must not contain quotes, backslashes or line breaks.")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TARNET_FIRMWARE_IMAGE}")

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT MSVC AND NOT APPLE AND NOT WIN32 AND NOT EMSCRIPTEN)
  set(_tarnet_embed_default incbin)
else()
  set(_tarnet_embed_default array)
endif()
set(TARNET_FIRMWARE_EMBED "${_tarnet_embed_default}" CACHE STRING
    "How the firmware image is linked in: incbin (GCC/Clang, ELF) or array (any compiler)")
set_property(CACHE TARNET_FIRMWARE_EMBED PROPERTY STRINGS incbin array)

set(_tarnet_image_source "${CMAKE_CURRENT_BINARY_DIR}/FirmwareImageData.cpp")
if(TARNET_FIRMWARE_EMBED STREQUAL "incbin")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/FirmwareImageData.cpp.in" "${_tarnet_image_source}" @ONLY)
  set_source_files_properties("${_tarnet_image_source}" PROPERTIES OBJECT_DEPENDS "${TARNET_FIRMWARE_IMAGE}")
elseif(TARNET_FIRMWARE_EMBED STREQUAL "array")
  add_custom_command(
    OUTPUT "${_tarnet_image_source}"
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${TARNET_FIRMWARE_IMAGE}" "-DOUTPUT=${_tarnet_image_source}"
            "-DSIZE=${TARNET_FIRMWARE_IMAGE_SIZE}" -P "${PROJECT_SOURCE_DIR}/cmake/EmbedImageAsArray.cmake"
    DEPENDS "${TARNET_FIRMWARE_IMAGE}" "${PROJECT_SOURCE_DIR}/cmake/EmbedImageAsArray.cmake"
    COMMENT "Embedding the firmware image"
    VERBATIM)
else()
  message(FATAL_ERROR "TARNET_FIRMWARE_EMBED must be 'incbin' or 'array', not '${TARNET_FIRMWARE_EMBED}'.")
endif()

add_library(firmware_image STATIC "${_tarnet_image_source}")
tarnet_warnings(firmware_image)
