// The test executables' shared precompiled headers are built with this file
// (tests/CMakeLists.txt); it has no code of its own.
