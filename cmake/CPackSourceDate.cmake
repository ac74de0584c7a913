# Read by cpack (CPACK_PROJECT_CONFIG_FILE). CPack's archives take their time
# stamps from SOURCE_DATE_EPOCH: when it is not set, the time of the last
# commit of the source tree is used, so that a package built twice from one
# commit holds the same bytes. Outside a git checkout the time stays unset.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "@ZEDRIKFU_SOURCE_DIR@" log -1 --format=%ct
                  OUTPUT_VARIABLE zf_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE zf_git_result ERROR_QUIET)
  if(zf_git_result EQUAL 0 AND zf_commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${zf_commit_time}")
  endif()
endif()
