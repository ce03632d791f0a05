# The Windows download, from the windows preset (cross-build):
#   cpack --preset windows     build/windows/tarnet-updater-<version>-win64.zip
#                              build/windows/tarnet-updater-<version>-win64-setup.exe
# Both hold the shipped programs, README.txt and LICENSE.txt (Windows line endings), side by side
# in one folder. The zip unpacks into a folder of its name; the installer (NSIS, made by Debian's
# makensis through CPack) installs for the current user with a Start-menu shortcut and an
# uninstaller (packaging/windows/NSIS.template.in).

set(TARNET_WINDOWS_PROGRAMS tarnet-updater tarnet-update tarnet-messages)
set(win_out ${PROJECT_BINARY_DIR}/packaging/windows)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${win_out}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
# The licence as it stands, only with Windows line endings (it has no @VAR@ to replace).
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${win_out}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS ${TARNET_WINDOWS_PROGRAMS} RUNTIME DESTINATION .)
install(FILES ${win_out}/README.txt ${win_out}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR "ZIP;NSIS")
set(CPACK_PACKAGE_NAME tarnet-updater)
set(CPACK_PACKAGE_VENDOR "The Tarnet Updater developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Installs new system software into a Tarnet effects device over MIDI")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
# Beside the build (cpack -B puts them elsewhere).
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
# Per generator: the installer is named ...-setup.exe (see the file).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/windows/CPackOptions.cmake)

# NSIS: our own template (per-user install) instead of CPack's.
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Tarnet Updater")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tarnet Updater")
set(CPACK_NSIS_PACKAGE_NAME "Tarnet Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "Tarnet Updater")
set(CPACK_NSIS_INSTALLED_ICON_NAME tarnet-updater.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_BINARY_DIR}/app/win32/tarnet-updater.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_BINARY_DIR}/app/win32/tarnet-updater.ico)
set(CPACK_NSIS_URL_INFO_ABOUT "${TARNET_HOMEPAGE}")
include(CPack)
