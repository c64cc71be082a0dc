# What an installation holds and the packages made of it (cpack, see the
# packagePresets): on Windows an NSIS installer and a portable ZIP of
# Loadpost.exe, loadpost-cli.exe, the user guide as HTML and the licence; on
# Linux a Debian package of loadpost-cli with its man page, the user guide and
# the udev rule for the testers' bridge. Never the simulated tester's
# ftd2xx.dll: a PC with a real tester uses FTDI's own.
#
# Only with LOADPOST_PACKAGE (the "package" and "win64" presets): the extra
# files need cmark and help2man, and a package must not hold a sanitizer build.
option(LOADPOST_PACKAGE "Make the packages' files and set up CPack" OFF)
if(NOT LOADPOST_PACKAGE)
  return()
endif()
if(LOADPOST_SANITIZE OR LOADPOST_TSAN)
  message(FATAL_ERROR "LOADPOST_PACKAGE: a package never holds a sanitizer build; configure without "
                      "LOADPOST_SANITIZE and LOADPOST_TSAN (preset \"package\")")
endif()

set(pack_dir ${CMAKE_BINARY_DIR}/packaging)
set(pack_src ${CMAKE_SOURCE_DIR}/packaging)
set(build_version_txt ${LOADPOST_GENERATED_DIR}/build_version.txt)

# The user guide as one HTML page, rendered from its Markdown by cmark.
find_program(LOADPOST_CMARK cmark REQUIRED)
add_custom_command(OUTPUT ${pack_dir}/user-guide.html
  COMMAND ${CMAKE_COMMAND} -DCMARK=${LOADPOST_CMARK} -DIN=${CMAKE_SOURCE_DIR}/docs/user-guide.md
          -DOUT=${pack_dir}/user-guide.html -P ${CMAKE_CURRENT_LIST_DIR}/LoadpostGuideHtml.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${CMAKE_CURRENT_LIST_DIR}/LoadpostGuideHtml.cmake
  COMMENT "User guide as HTML")
add_custom_target(loadpost_guide_html ALL DEPENDS ${pack_dir}/user-guide.html)

set(CPACK_PACKAGE_NAME Loadpost)
set(CPACK_PACKAGE_VENDOR Trevane)
set(CPACK_PACKAGE_CONTACT "Trevane <loadpost@trevane.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.trevane.example/loadpost/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/build/packages)
set(CPACK_STRIP_FILES ON)
# The build's full version (with its commit) is read when cpack runs, from
# the file the build wrote: see LoadpostCPackProject.cmake.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_LOADPOST_VERSION_FILE ${build_version_txt})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/LoadpostCPackProject.cmake)
# cpack packs what was built (scripts/packages.sh builds the packages'
# targets only), without building every test first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  install(TARGETS Loadpost loadpost-cli RUNTIME DESTINATION bin)
  # loadpost-cli.exe --sim finds the named scenarios beside itself.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/sim/scenarios/ DESTINATION bin/scenarios FILES_MATCHING PATTERN "*.sim")
  install(FILES ${pack_dir}/user-guide.html DESTINATION doc)
  install(FILES ${pack_src}/copyright DESTINATION . RENAME LICENSE.txt)

  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Loadpost)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Loadpost)
  set(CPACK_PACKAGE_EXECUTABLES Loadpost Loadpost)
  set(CPACK_RESOURCE_FILE_LICENSE ${pack_src}/copyright)
  # A 64-bit installer for the 64-bit programs: it writes the 64-bit registry
  # view, and runs where no 32-bit Windows subsystem is.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_PACKAGE_NAME Loadpost)
  set(CPACK_NSIS_DISPLAY_NAME Loadpost)
  set(CPACK_NSIS_MUI_ICON ${CMAKE_SOURCE_DIR}/window/resources/loadpost.ico)
  set(CPACK_NSIS_MUI_UNIICON ${CMAKE_SOURCE_DIR}/window/resources/loadpost.ico)
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\Loadpost.exe")
  set(CPACK_NSIS_URL_INFO_ABOUT ${CPACK_PACKAGE_HOMEPAGE_URL})
  set(CPACK_NSIS_CONTACT "loadpost@trevane.example")
  set(CPACK_NSIS_MENU_LINKS "doc/user-guide.html" "Loadpost user guide")
  # An option page offers the command line's folder (bin) on PATH; not chosen
  # unless the user ticks it (and never in a silent install).
  set(CPACK_NSIS_MODIFY_PATH ON)
else()
  include(GNUInstallDirs)
  install(TARGETS loadpost-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/sim/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/loadpost/scenarios
          FILES_MATCHING PATTERN "*.sim")
  install(FILES ${pack_src}/60-loadpost.rules DESTINATION lib/udev/rules.d)

  # The man page, from the program's own --help and --version.
  find_program(LOADPOST_HELP2MAN help2man REQUIRED)
  add_custom_command(OUTPUT ${pack_dir}/loadpost-cli.1.gz
    COMMAND ${LOADPOST_HELP2MAN} --no-info --section=1 --include=${pack_src}/loadpost-cli.h2m
            "--name=drive Trevane KT-40 and KT-60 USB PD load testers" --output=${pack_dir}/loadpost-cli.1
            $<TARGET_FILE:loadpost-cli>
    COMMAND gzip -9nf ${pack_dir}/loadpost-cli.1
    DEPENDS loadpost-cli ${pack_src}/loadpost-cli.h2m ${build_version_txt}
    COMMENT "Man page of loadpost-cli")
  # The package's changelog, which Debian wants of every package.
  add_custom_command(OUTPUT ${pack_dir}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${pack_src}/changelog.in -DVERSION_FILE=${build_version_txt}
            -DOUT=${pack_dir}/changelog -P ${CMAKE_CURRENT_LIST_DIR}/LoadpostChangelog.cmake
    COMMAND gzip -9nf ${pack_dir}/changelog
    DEPENDS ${pack_src}/changelog.in ${build_version_txt} ${CMAKE_CURRENT_LIST_DIR}/LoadpostChangelog.cmake
    COMMENT "Package changelog")
  add_custom_target(loadpost_package_docs ALL DEPENDS ${pack_dir}/loadpost-cli.1.gz ${pack_dir}/changelog.gz)
  add_dependencies(loadpost_package_docs loadpost_build_version_text)
  install(FILES ${pack_dir}/loadpost-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${pack_dir}/user-guide.html ${pack_src}/copyright ${pack_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/loadpost)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME loadpost)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pack_src}/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command line for Trevane KT-40 and KT-60 USB PD load testers")
  # CPack puts the summary above this as the synopsis line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "loadpost-cli lists the testers, reads their status and the charger's
profiles, requests profiles, sets the load, records measurements, captures
ripple, sweeps the load and writes reports (HTML, JSON, JUnit) that judge
every profile a charger offers; its serve command makes each tester an SCPI
instrument on a TCP port.
.
The udev rule gives testers to the group plugdev, keeps ModemManager away
from them, sets their USB bridge's latency timer to 1 ms and names each one
/dev/loadpost/<serial>.")
endif()

include(CPack)

# The packages as a user gets them: made, installed, started, removed.
find_program(LOADPOST_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(WIN32 AND LOADPOST_TESTS)
  add_test(NAME package.windows
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/windows_install.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(package.windows PROPERTIES TIMEOUT 300)
elseif(NOT WIN32)
  enable_testing()
  add_test(NAME package.debian
           COMMAND ${LOADPOST_PYTHON} ${CMAKE_SOURCE_DIR}/tests/package/debian_check.py ${CMAKE_BINARY_DIR}
                   ${CMAKE_SOURCE_DIR})
  set_tests_properties(package.debian PROPERTIES TIMEOUT 300)
endif()
