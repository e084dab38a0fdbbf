# The packages take their version from the project's one home (the project()
# line), or say where they do not:
#   cmake -DSOURCE=DIR -DVERSION=X.Y.Z -P Version.cmake
file(STRINGS ${SOURCE}/debian/changelog first LIMIT_COUNT 1)
if(NOT first MATCHES "^kelvra \\(([^)]+)\\) ")
  message(FATAL_ERROR "debian/changelog does not start with an entry for kelvra: ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "debian/changelog is at ${CMAKE_MATCH_1}, the project at ${VERSION}: "
                      "add a changelog entry (dch -v ${VERSION})")
endif()
