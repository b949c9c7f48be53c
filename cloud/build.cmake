# V7 cloud channel key material: 16 key bytes followed by the 256-byte table, compiled into the relay.
# The file in the tree lets the relay be built and tested; packagers point VEXAPROXY_V7_KEY_FILE at the
# material of their devices and cloud server so that real datagrams pass.
set(VEXAPROXY_V7_KEY_FILE "${CMAKE_CURRENT_LIST_DIR}/v7-cloud-key.bin" CACHE FILEPATH
    "272-byte V7 cloud channel key material: 16 key bytes, then the 256-byte table")

get_filename_component(_v7_key_file "${VEXAPROXY_V7_KEY_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${_v7_key_file}" OR IS_DIRECTORY "${_v7_key_file}")
  message(FATAL_ERROR "VEXAPROXY_V7_KEY_FILE: '${_v7_key_file}' is not a file. It must hold exactly 272 "
                      "bytes: the 16 key bytes followed by the 256-byte table.")
endif()
file(SIZE "${_v7_key_file}" _v7_key_size)
if(NOT _v7_key_size EQUAL 272)
  message(FATAL_ERROR "VEXAPROXY_V7_KEY_FILE: '${_v7_key_file}' has ${_v7_key_size} bytes, expected "
                      "exactly 272: the 16 key bytes followed by the 256-byte table.")
endif()
# The repository's file is random test material: a relay built with it passes the tests' datagrams
# and no real device's. Said here once, and by the daemon in its main log at every start.
file(SHA256 "${_v7_key_file}" _v7_key_sum)
file(SHA256 "${CMAKE_CURRENT_LIST_DIR}/v7-cloud-key.bin" _v7_test_sum)
if(_v7_key_sum STREQUAL _v7_test_sum)
  set(V7_TEST_MATERIAL true)
  message(WARNING "V7 test key material in use: real RM7 devices will not get through")
else()
  set(V7_TEST_MATERIAL false)
endif()
# Re-run the configuration when the material changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_v7_key_file}")

file(READ "${_v7_key_file}" _v7_key_hex LIMIT 16 HEX)
file(READ "${_v7_key_file}" _v7_table_hex OFFSET 16 LIMIT 256 HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," V7_CLOUD_KEY_BYTES "${_v7_key_hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," V7_STEP3_BYTES "${_v7_table_hex}")

set(_v7_key_source "${CMAKE_BINARY_DIR}/generated/cloud/V7CloudKey.cpp")
file(CONFIGURE OUTPUT "${_v7_key_source}" CONTENT [[
// Generated at configure time from @_v7_key_file@; do not edit.
#include "cloud/PackV7.h"

const unsigned char CPackV7::CloudKey[16] = {@V7_CLOUD_KEY_BYTES@};
const unsigned char CPackV7::Step3[256] = {@V7_STEP3_BYTES@};
const bool CPackV7::TestMaterial = @V7_TEST_MATERIAL@;
]] @ONLY)
target_sources(vexacore PRIVATE "${_v7_key_source}")
