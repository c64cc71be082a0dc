# Read by cpack for each package it makes: the build's full version, which
# the build wrote (build_version.txt), names the package and fills its
# metadata, so that the package says what its programs say.
set(loadpost_version "${CPACK_PACKAGE_VERSION}")
if(EXISTS "${CPACK_LOADPOST_VERSION_FILE}")
  file(STRINGS "${CPACK_LOADPOST_VERSION_FILE}" loadpost_version LIMIT_COUNT 1)
else()
  message(WARNING "No build version (${CPACK_LOADPOST_VERSION_FILE}): build before packaging")
endif()
set(CPACK_PACKAGE_VERSION "${loadpost_version}")
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "Loadpost-${loadpost_version}-win64-setup")
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "Loadpost-${loadpost_version}-win64")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEBIAN_PACKAGE_VERSION "${loadpost_version}")
endif()
