# Third-party code is never committed: scripts/bootstrap installs Debian
# packages and fills a cache folder outside the clone with what Debian does
# not ship for mingw (OpenSSL and libtorrent cross-built, the LZMA SDK's C
# decoder).
#
#   SF_DEPS_DIR/openssl-mingw    -> openssl-mingw-<version> (include/, lib/)
#   SF_DEPS_DIR/lzma-sdk         -> 7zip-<version> (C/ holds the 7z decoder)
#   SF_DEPS_DIR/libtorrent-mingw -> libtorrent-mingw-<version> (include/, lib/)
#   SF_DEPS_DIR/boost-headers    (boost/ -> libboost-dev's headers)

if(DEFINED ENV{SF_DEPS_DIR})
  set(_sf_deps_default "$ENV{SF_DEPS_DIR}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_sf_deps_default "$ENV{XDG_CACHE_HOME}/swarmfetch")
else()
  set(_sf_deps_default "$ENV{HOME}/.cache/swarmfetch")
endif()
set(SF_DEPS_DIR "${_sf_deps_default}" CACHE PATH "Dependency cache filled by scripts/bootstrap")

# --- OpenSSL -----------------------------------------------------------------
add_library(sf::openssl INTERFACE IMPORTED)
if(WIN32)
  set(_ssl "${SF_DEPS_DIR}/openssl-mingw")
  if(NOT EXISTS "${_ssl}/lib/libssl.a")
    message(FATAL_ERROR "OpenSSL for mingw not found in ${_ssl}; run scripts/bootstrap")
  endif()
  target_include_directories(sf::openssl INTERFACE "${_ssl}/include")
  target_link_libraries(sf::openssl INTERFACE "${_ssl}/lib/libssl.a" "${_ssl}/lib/libcrypto.a"
    ws2_32 crypt32 user32 advapi32)
else()
  find_package(OpenSSL 3.0 REQUIRED)
  target_link_libraries(sf::openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()

# --- zlib ----------------------------------------------------------------------
set(ZLIB_USE_STATIC_LIBS ${WIN32})
find_package(ZLIB REQUIRED)
add_library(sf::zlib INTERFACE IMPORTED)
target_link_libraries(sf::zlib INTERFACE ZLIB::ZLIB)

# --- LZMA SDK (7z decoder in C) ------------------------------------------------
set(SF_LZMA_SDK_DIR "${SF_DEPS_DIR}/lzma-sdk/C" CACHE PATH "The LZMA SDK's C folder")
if(NOT EXISTS "${SF_LZMA_SDK_DIR}/7zArcIn.c")
  message(FATAL_ERROR "LZMA SDK not found in ${SF_LZMA_SDK_DIR}; run scripts/bootstrap")
endif()
set(_lzma_sources
  7zAlloc.c 7zArcIn.c 7zBuf.c 7zBuf2.c 7zCrc.c 7zCrcOpt.c 7zDec.c 7zStream.c
  Bcj2.c Bra.c Bra86.c BraIA64.c CpuArch.c Delta.c Lzma2Dec.c LzmaDec.c
  Ppmd7.c Ppmd7Dec.c)
list(TRANSFORM _lzma_sources PREPEND "${SF_LZMA_SDK_DIR}/")
add_library(sf_lzma STATIC ${_lzma_sources})
target_include_directories(sf_lzma SYSTEM PUBLIC "${SF_LZMA_SDK_DIR}")
target_compile_definitions(sf_lzma PRIVATE Z7_PPMD_SUPPORT _7ZIP_PPMD_SUPPPORT)
set_target_properties(sf_lzma PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(sf::lzma ALIAS sf_lzma)
if(SF_SANITIZE MATCHES "undefined")
  # The SDK reads little-endian words unaligned on purpose where the CPU allows it.
  target_compile_options(sf_lzma PRIVATE -fno-sanitize=alignment)
endif()

# --- libtorrent (the peer engine's BitTorrent) ---------------------------------
# sf::libtorrent carries the library's public definitions from its exported
# CMake target: a program compiled without them does not link to it.
if(WIN32)
  set(_lt "${SF_DEPS_DIR}/libtorrent-mingw")
  set(_lt_targets "${_lt}/lib/cmake/LibtorrentRasterbar/LibtorrentRasterbarTargets.cmake")
  if(NOT EXISTS "${_lt}/lib/libtorrent-rasterbar.a" OR NOT EXISTS "${_lt_targets}")
    message(FATAL_ERROR "libtorrent for mingw not found in ${_lt}; run scripts/bootstrap")
  endif()
  # What its exported target names as its own dependencies, from the cache.
  find_package(Threads REQUIRED)
  if(NOT TARGET OpenSSL::SSL)
    add_library(OpenSSL::SSL INTERFACE IMPORTED)
    target_link_libraries(OpenSSL::SSL INTERFACE sf::openssl)
  endif()
  if(NOT TARGET Boost::headers)
    add_library(Boost::headers INTERFACE IMPORTED)
    target_include_directories(Boost::headers SYSTEM INTERFACE "${SF_DEPS_DIR}/boost-headers")
  endif()
  include("${_lt_targets}")
else()
  find_package(LibtorrentRasterbar 2.0 CONFIG REQUIRED)
endif()
# The library is built without its asserts, which change class layouts: its
# export adds them to a Debug build of ours, so they are taken out.
get_target_property(_lt_defs LibtorrentRasterbar::torrent-rasterbar INTERFACE_COMPILE_DEFINITIONS)
list(FILTER _lt_defs EXCLUDE REGEX "TORRENT_USE_ASSERTS")
set_target_properties(LibtorrentRasterbar::torrent-rasterbar PROPERTIES
  INTERFACE_COMPILE_DEFINITIONS "${_lt_defs}")
add_library(sf::libtorrent INTERFACE IMPORTED)
target_link_libraries(sf::libtorrent INTERFACE LibtorrentRasterbar::torrent-rasterbar)
