# vireo_manifest: the manifest and update-list records and parsers, version
# comparison, the PE version reader, local file version and time stamps,
# and the trust data: key, signatures, declared sizes and hashes.
set(VIREO_MANIFEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/version_compare.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pe_version.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_file_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/time_zone.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_manifest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trust_formats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_trust.cpp)
vireo_library(vireo_manifest
  SOURCES ${VIREO_MANIFEST_SOURCES}
  POSIX ${CMAKE_CURRENT_LIST_DIR}/local_file_info_posix.cpp ${CMAKE_CURRENT_LIST_DIR}/time_zone_posix.cpp
        ${CMAKE_CURRENT_LIST_DIR}/update_key_posix.cpp
  WIN32 ${CMAKE_CURRENT_LIST_DIR}/local_file_info_win32.cpp ${CMAKE_CURRENT_LIST_DIR}/time_zone_win32.cpp
        ${CMAKE_CURRENT_LIST_DIR}/update_key_win32.cpp
  DEPS vireo_xml vireo_app vireo_platform)
if(VIREO_WINDOWS)
  target_link_libraries(vireo_manifest PUBLIC version advapi32)
endif()
