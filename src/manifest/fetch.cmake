# Windows only: the manifest retrieval over WinINet.
vireo_library(vireo_manifest_fetch
  SOURCES fetch_manifest.cpp fetch_exception.cpp
  DEPS vireo_app vireo_xml vireo_framework vireo_platform wininet)
