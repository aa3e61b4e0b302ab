# Fails when a message of the sources is missing from CATALOGUE (or has no
# translation there): extracts the sources into EXTRACTED and compares.
# cmake -DXGETTEXT=... -DMSGCMP=... -DXGETTEXT_OPTIONS=... -DSOURCE_GLOBS=...
#       -DCATALOGUE=... -DEXTRACTED=... -P checkCatalogue.cmake
file(GLOB_RECURSE sources ${SOURCE_GLOBS})
if(NOT sources)
  message(FATAL_ERROR "no sources found in ${SOURCE_GLOBS}")
endif()
execute_process(COMMAND ${XGETTEXT} ${XGETTEXT_OPTIONS} -o ${EXTRACTED} ${sources}
  RESULT_VARIABLE extracted)
if(NOT extracted EQUAL 0)
  message(FATAL_ERROR "xgettext failed (${extracted})")
endif()
# A template has no translations; only the message list is compared there.
set(untranslated)
if(CATALOGUE MATCHES "\\.pot$")
  set(untranslated --use-untranslated)
endif()
execute_process(COMMAND ${MSGCMP} ${untranslated} ${CATALOGUE} ${EXTRACTED} RESULT_VARIABLE compared)
if(NOT compared EQUAL 0)
  message(FATAL_ERROR "${CATALOGUE} lacks messages of the sources (see above); "
    "run the pot target and translate the new messages")
endif()
