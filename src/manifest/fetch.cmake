# Windows only: the manifest retrieval over the platform's HTTP service.
vireo_library(vireo_manifest_fetch
  SOURCES fetch_manifest.cpp fetch_exception.cpp
  DEPS vireo_manifest vireo_app vireo_xml vireo_platform)
