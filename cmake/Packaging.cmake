# Installation on Linux desktops and the Debian package:
#   cmake --install <build>                 the three programs, menu entry, icons, metadata, manuals
#   cpack --preset package                  build/package/tarnet-updater_<version>-<rev>_<arch>.deb
# The application's identity is one reverse-DNS id (TARNET_APP_ID, set in the top CMakeLists.txt),
# used for the .desktop file, the AppStream metadata and the icon's name alike.
include(GNUInstallDirs)

set(TARNET_SCREENSHOT_URL "https://raw.githubusercontent.com/tarnet-updater/tarnet-updater/main/docs/screenshot.png"
    CACHE STRING "Screenshot shown by software centres")
set(TARNET_MAINTAINER "The Tarnet Updater developers <tarnet-updater@users.noreply.github.com>"
    CACHE STRING "Maintainer of the Debian package")
# Built from this tree by its own developers, the package is a native one: no Debian revision, its
# changelog is changelog.gz.
set(TARNET_DEB_VERSION "${PROJECT_VERSION}")
set(TARNET_PACKAGE tarnet-updater)

set(pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(pkg_out ${PROJECT_BINARY_DIR}/packaging)
configure_file(${pkg_src}/linux/app.desktop.in ${pkg_out}/${TARNET_APP_ID}.desktop @ONLY)
configure_file(${pkg_src}/linux/app.metainfo.xml.in ${pkg_out}/${TARNET_APP_ID}.metainfo.xml @ONLY)
configure_file(${pkg_src}/debian/copyright.in ${pkg_out}/copyright @ONLY)
configure_file(${pkg_src}/debian/changelog.in ${pkg_out}/changelog @ONLY)

# Manual pages: written for the window, made by help2man from --help and --version for the
# terminal programs. Debian wants them compressed with gzip -9n (no name or time stamp inside).
find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
set(man_pages)
function(tarnet_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${GZIP} -9nc ${input} > ${output}
    DEPENDS ${input} VERBATIM)
endfunction()
tarnet_gzip(${pkg_src}/linux/tarnet-updater.1 ${pkg_out}/tarnet-updater.1.gz)
list(APPEND man_pages ${pkg_out}/tarnet-updater.1.gz)
if(HELP2MAN)
  foreach(entry "tarnet-update|firmware updates in the terminal, one device or many at once"
                "tarnet-devsim|simulated Tarnet device on virtual MIDI ports")
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 summary)
    add_custom_command(OUTPUT ${pkg_out}/${program}.1
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1796688000
              ${HELP2MAN} --no-info --section=1 --name=${summary}
              --include=${pkg_src}/linux/${program}.h2m --output=${pkg_out}/${program}.1
              $<TARGET_FILE:${program}>
      DEPENDS ${program} ${pkg_src}/linux/${program}.h2m VERBATIM)
    tarnet_gzip(${pkg_out}/${program}.1 ${pkg_out}/${program}.1.gz)
    list(APPEND man_pages ${pkg_out}/${program}.1.gz)
  endforeach()
else()
  message(STATUS "help2man not found: the manual pages of tarnet-update and tarnet-devsim are not made")
endif()
tarnet_gzip(${pkg_out}/changelog ${pkg_out}/changelog.gz)
add_custom_target(tarnet_man_pages ALL DEPENDS ${man_pages} ${pkg_out}/changelog.gz)

install(TARGETS tarnet-updater tarnet-update tarnet-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pkg_out}/${TARNET_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg_out}/${TARNET_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48 128)
  install(FILES ${PROJECT_SOURCE_DIR}/app/resources/icon128_${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${TARNET_APP_ID}.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/app/resources/icon128.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${TARNET_APP_ID}.svg)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg_out}/copyright ${pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TARNET_PACKAGE})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARNET_PACKAGE})
set(CPACK_PACKAGE_VENDOR "The Tarnet Updater developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARNET_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Tarnet effects devices over MIDI")
# CPack puts the summary first and indents the body as the Debian control file wants it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Tarnet Updater installs a new system software image into a guitar-effects
device connected over MIDI: pick the MIDI input and output through which the
device is reached and press Execute. The updater identifies the device,
checks its model, erases its flash memory, sends the image in 36 blocks
protected by a CRC-32 and finishes, showing its progress on the way.

Up to 20 copies run side by side. The package also holds tarnet-update,
which updates one device or many at once in the terminal and keeps a history
of updates, and tarnet-devsim, a simulated device on virtual MIDI ports (ALSA
sequencer or JACK) for trying it without hardware.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TARNET_HOMEPAGE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <name>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
