# Installs the build into a fresh prefix, then builds a small C host
# application against the installed tree - once with find_package(kx7fw),
# once with pkg-config - and runs it.
#   -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=...
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path include/kx7fw/kx7fw.h bin/kx7fw lib/cmake/kx7fw/kx7fwConfig.cmake
        lib/cmake/kx7fw/kx7fwConfigVersion.cmake lib/pkgconfig/kx7fw.pc
        lib/pkgconfig/kx7fw-sim.pc share/doc/kx7fw/README.md)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()

# find_package and the imported targets.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/cmake-build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
foreach(program consumer consumer_sim)
  run(${WORK_DIR}/cmake-build/${program})
  message(STATUS "${program}: ${last_output}")
endforeach()

# pkg-config, as a Makefile would use it.
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CC NAMES cc gcc clang REQUIRED)
foreach(package kx7fw kx7fw-sim)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs ${package})
  separate_arguments(flags UNIX_COMMAND "${last_output}")
  run(${CC} ${SOURCE_DIR}/tests/install/consumer/consumer.c ${flags}
      -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/pc-${package})
  run(${WORK_DIR}/pc-${package})
  message(STATUS "pkg-config ${package}: ${last_output}")
endforeach()
