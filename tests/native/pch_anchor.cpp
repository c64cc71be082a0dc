// Compiles the tests' precompiled header (tests/CMakeLists.txt); nothing of its own.
