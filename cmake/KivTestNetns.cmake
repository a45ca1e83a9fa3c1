# Sets KIV_NETNS, the command prefix that runs a test in a private network
# namespace (so that a test daemon's abstract socket collides neither with
# another test nor with a daemon running on the machine), and
# KIV_TESTS_SERIAL, true when namespaces are unavailable and the tests that
# take the daemon's name must run one at a time.
find_program(UNSHARE_PROGRAM unshare)
execute_process(COMMAND id -u OUTPUT_VARIABLE KIV_UID OUTPUT_STRIP_TRAILING_WHITESPACE)
if(KIV_UID STREQUAL "0")
  set(KIV_NETNS ${UNSHARE_PROGRAM} -n)
else()
  set(KIV_NETNS ${UNSHARE_PROGRAM} -rn)
endif()
set(KIV_NETNS_RESULT 1)
if(UNSHARE_PROGRAM)
  execute_process(COMMAND ${KIV_NETNS} true RESULT_VARIABLE KIV_NETNS_RESULT OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT KIV_NETNS_RESULT EQUAL 0)
  message(WARNING "private network namespaces unavailable: integration tests share the daemon name and run serially")
  set(KIV_NETNS "")
  set(KIV_TESTS_SERIAL TRUE)
else()
  set(KIV_TESTS_SERIAL FALSE)
endif()
