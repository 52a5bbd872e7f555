# Checks SF_PUBLISHER_KEY, the publisher's Ed25519 public key: empty (no
# key) or 64 hex digits of a key that can stand for a publisher. Refused are
# the encodings of the eight points of small order, with either sign bit
# (such a key verifies a forged signature for any data), and every y at or
# above 2^255 - 19 (non-canonical). The library refuses the same keys
# (sdk/support/PublisherSignature.h).
#
# Included by the top CMakeLists.txt, and runnable alone:
#   cmake -DSF_PUBLISHER_KEY=<hex> -P cmake/PublisherKey.cmake
cmake_policy(VERSION 3.25)
function(sf_check_publisher_key key)
  if(key STREQUAL "")
    return()
  endif()
  string(LENGTH "${key}" length)
  if(NOT key MATCHES "^[0-9A-Fa-f]+$" OR NOT length EQUAL 64)
    message(FATAL_ERROR "SF_PUBLISHER_KEY must be 64 hex digits (or empty), not '${key}'")
  endif()
  # y: the key with the sign bit (the top bit of the last byte) cleared.
  string(TOLOWER "${key}" lower)
  string(SUBSTRING "${lower}" 0 62 head)
  string(SUBSTRING "${lower}" 62 1 high)
  string(SUBSTRING "${lower}" 63 1 low)
  set(cleared 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7)
  set(digits 0 1 2 3 4 5 6 7 8 9 a b c d e f)
  list(FIND digits "${high}" index)
  list(GET cleared ${index} high)
  set(y "${head}${high}${low}")
  string(REPEAT "ff" 30 ffs)
  string(REPEAT "00" 31 zeros)
  if(y MATCHES "^(e[d-f]|f[0-9a-f])${ffs}7f$")
    message(FATAL_ERROR "SF_PUBLISHER_KEY '${key}' is no canonical Ed25519 public key (y >= 2^255 - 19)")
  endif()
  set(small_order
    "01${zeros}"
    "ec${ffs}7f"
    "00${zeros}"
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05")
  if(y IN_LIST small_order)
    message(FATAL_ERROR "SF_PUBLISHER_KEY '${key}' is a point of small order: it would verify forged signatures")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  sf_check_publisher_key("${SF_PUBLISHER_KEY}")
endif()
