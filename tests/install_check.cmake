# Installs the build into a scratch prefix and checks that exactly the files
# a user needs are there and that the installed programs run.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DVERSION=... -P install_check.cmake

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()

set(expected
  bin/vek-sim
  bin/vekcomm
  bin/vekctl
  share/applications/org.vekcomm.VekComm.desktop
  share/bash-completion/completions/vekctl
  share/doc/vekcomm/changelog.Debian.gz
  share/doc/vekcomm/copyright
  share/doc/vekctl/README.md.gz
  share/doc/vekctl/changelog.Debian.gz
  share/doc/vekctl/copyright
  share/doc/vekctl/examples/demo.vek
  share/doc/vekctl/examples/vek-demo.inc
  share/icons/hicolor/48x48/apps/org.vekcomm.VekComm.png
  share/icons/hicolor/scalable/apps/org.vekcomm.VekComm.svg
  share/lintian/overrides/vekcomm
  share/lintian/overrides/vekctl
  share/man/man1/vek-sim.1.gz
  share/man/man1/vekcomm.1.gz
  share/man/man1/vekctl.1.gz
  share/metainfo/org.vekcomm.VekComm.metainfo.xml
)
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(missing ${expected})
list(REMOVE_ITEM missing ${installed})
set(extra ${installed})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "installed files differ\n  missing: ${missing}\n  not expected: ${extra}")
endif()

foreach(file man/man1/vekcomm.1 man/man1/vekctl.1 man/man1/vek-sim.1 doc/vekctl/README.md)
  file(READ "${PREFIX}/share/${file}.gz" magic LIMIT 2 HEX)
  if(NOT magic STREQUAL "1f8b")
    message(FATAL_ERROR "${file}.gz is not compressed")
  endif()
endforeach()

# The installed programs run, and find the installed examples.
function(run expected_out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${expected_out}")
    message(FATAL_ERROR "${ARGN}: exit ${rc}\n${out}${err}")
  endif()
endfunction()
run("^vekctl ${VERSION}\n$" "${PREFIX}/bin/vekctl" --version)
run("^vekcomm ${VERSION}\n$" "${PREFIX}/bin/vekcomm" --version)
run("^vek-sim ${VERSION}\n$" "${PREFIX}/bin/vek-sim" --version)
run("\nPORTA 005\n" "${PREFIX}/bin/vekctl" labels -q "${PREFIX}/share/doc/vekctl/examples/vek-demo.inc")
message(STATUS "${PREFIX}: ${installed}")
