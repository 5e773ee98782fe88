# Build stamp: a non-loaded section LumVersion in the library holding one line,
# "<four-part version> MM/DD/YY HH:MM:SS\n" in UTC. The time is the link time,
# or SOURCE_DATE_EPOCH when that is set, so a build can be reproduced.
# SPDX-License-Identifier: MIT
#
# Included from the project, it defines serviceapp_add_build_stamp(). Run as a
# script (cmake -DSTAMP_VERSION=.. -DSTAMP_FILE=.. [-DSTAMP_TARGET=.. -DSTAMP_OBJCOPY=..] -P),
# it writes the stamp line to STAMP_FILE and, given a target file, puts it into
# that file's LumVersion section.

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT STAMP_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "build stamp: STAMP_VERSION '${STAMP_VERSION}' is not a four-part version")
  endif()
  # string(TIMESTAMP) takes SOURCE_DATE_EPOCH from the environment when set.
  string(TIMESTAMP stamp_time "%m/%d/%y %H:%M:%S" UTC)
  file(WRITE "${STAMP_FILE}" "${STAMP_VERSION} ${stamp_time}\n")
  if(STAMP_TARGET)
    # Drop a stamp left by an earlier run, then add this one without the
    # alloc flag so that it is never mapped at run time.
    execute_process(COMMAND "${STAMP_OBJCOPY}" --remove-section=LumVersion "${STAMP_TARGET}"
                    RESULT_VARIABLE rc)
    if(rc EQUAL 0)
      execute_process(COMMAND "${STAMP_OBJCOPY}"
                        --add-section "LumVersion=${STAMP_FILE}"
                        --set-section-flags LumVersion=noload,readonly
                        "${STAMP_TARGET}"
                      RESULT_VARIABLE rc)
    endif()
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "build stamp: objcopy failed on ${STAMP_TARGET}")
    endif()
  endif()
  return()
endif()

# serviceapp_add_build_stamp(TARGET): stamps TARGET's file after every link.
function(serviceapp_add_build_stamp target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "build stamp: objcopy was not found")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND}
              -DSTAMP_VERSION=${PROJECT_VERSION}
              -DSTAMP_FILE=${CMAKE_CURRENT_BINARY_DIR}/${target}.stamp
              -DSTAMP_TARGET=$<TARGET_FILE:${target}>
              -DSTAMP_OBJCOPY=${CMAKE_OBJCOPY}
              -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      COMMENT "Stamping ${target} with its version and build time"
      VERBATIM)
endfunction()
