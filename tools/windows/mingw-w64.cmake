# Cross-building for 64-bit Windows with Debian's MinGW-w64 (POSIX threads variant).
# tools/windows/build.sh passes the cached Qt and OpenSSL prefixes as EMBERCREST_QT_PREFIX and
# EMBERCREST_OPENSSL_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Variables a try_compile must see too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EMBERCREST_QT_PREFIX EMBERCREST_OPENSSL_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${EMBERCREST_QT_PREFIX} ${EMBERCREST_OPENSSL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: libstdc++, libgcc and winpthread linked in, no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# libcrypto built with "./Configure mingw64 no-shared": FindOpenSSL looks there, for the
# static library.
if(EMBERCREST_OPENSSL_PREFIX)
    set(OPENSSL_ROOT_DIR ${EMBERCREST_OPENSSL_PREFIX})
    set(OPENSSL_USE_STATIC_LIBS ON)
endif()

# Debian's zlib for MinGW (libz-mingw-w64-dev), linked in rather than beside the executable.
set(ZLIB_USE_STATIC_LIBS ON)

# Qt 5's translation tools are host programs: Debian's own (qttools5-dev-tools).
if(NOT Qt5LinguistTools_DIR AND EXISTS /usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools)
    set(Qt5LinguistTools_DIR /usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools)
endif()
