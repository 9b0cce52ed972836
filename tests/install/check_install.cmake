# Installs a build into a fresh prefix, then builds a small C host
# application against the installed tree - with find_package(kx7fw) and
# with pkg-config - and runs it. Both shapes of the package are checked: the
# build's own, and, where that has a backend for real players, the same
# sources built where libudev is missing, whose package must never offer the
# simulator as the library.
#   -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DHAS_BACKEND=ON|OFF
#   [-DCOMPILER=... -DLAUNCHER=...] for the second build
file(REMOVE_RECURSE ${WORK_DIR})
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CC NAMES cc gcc clang REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_text text output what)
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what} does not say \"${text}\":\n${output}")
  endif()
endfunction()

# The consumer built on the tree at `prefix`: SIM_ONLY asks for kx7fw::sim
# alone.
function(build_consumer prefix name sim_only)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/${name}
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DSIM_ONLY=${sim_only})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/${name})
endfunction()

function(check_shape build name backend)
  set(prefix ${WORK_DIR}/${name})
  run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
  foreach(path include/kx7fw/kx7fw.h bin/kx7fw lib/cmake/kx7fw/kx7fwConfig.cmake
          lib/cmake/kx7fw/kx7fwConfigVersion.cmake lib/pkgconfig/kx7fw-sim.pc
          share/doc/kx7fw/README.md share/kx7fw/scenarios/clean-update.json)
    if(NOT EXISTS ${prefix}/${path})
      message(FATAL_ERROR "${name}: not installed: ${path}")
    endif()
  endforeach()
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)

  if(backend)
    if(NOT EXISTS ${prefix}/lib/udev/rules.d/70-kx7fw.rules)
      message(FATAL_ERROR "${name}: not installed: lib/udev/rules.d/70-kx7fw.rules")
    endif()
    build_consumer(${prefix} ${name}-cmake OFF)
    set(programs consumer consumer_sim)
    set(packages kx7fw kx7fw-sim)
  else()
    # find_package(kx7fw) fails and says why; the simulator is still there
    # for whoever asks for it by name.
    foreach(path lib/pkgconfig/kx7fw.pc lib/libkx7fw.so)
      if(EXISTS ${prefix}/${path})
        message(FATAL_ERROR "${name}: installed without a backend: ${path}")
      endif()
    endforeach()
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer
                            -B ${WORK_DIR}/${name}-refused -DCMAKE_PREFIX_PATH=${prefix}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(status EQUAL 0)
      message(FATAL_ERROR "${name}: find_package(kx7fw) succeeded without a backend")
    endif()
    string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
    foreach(text "without a backend for real players" "libudev-dev"
            "kx7fw::sim is the simulator")
      expect_text("${text}" "${said}" "${name}: find_package(kx7fw)")
    endforeach()
    execute_process(COMMAND ${PKG_CONFIG} --exists kx7fw RESULT_VARIABLE status)
    if(status EQUAL 0)
      message(FATAL_ERROR "${name}: pkg-config finds kx7fw without a backend")
    endif()
    build_consumer(${prefix} ${name}-cmake ON)
    set(programs consumer_sim)
    set(packages kx7fw-sim)
  endif()

  foreach(program IN LISTS programs)
    run(${WORK_DIR}/${name}-cmake/${program})
    message(STATUS "${name} ${program}: ${last_output}")
  endforeach()
  # pkg-config, as a Makefile would use it.
  foreach(package IN LISTS packages)
    run(${PKG_CONFIG} --cflags --libs ${package})
    separate_arguments(flags UNIX_COMMAND "${last_output}")
    run(${CC} ${SOURCE_DIR}/tests/install/consumer/consumer.c ${flags}
        -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/${name}-pc-${package})
    run(${WORK_DIR}/${name}-pc-${package})
    message(STATUS "${name} pkg-config ${package}: ${last_output}")
  endforeach()
endfunction()

check_shape(${BUILD_DIR} built ${HAS_BACKEND})
if(NOT HAS_BACKEND)
  return()
endif()

# The same sources where pkg-config finds no libudev: the configure output
# warns, and the package has the simulator only.
find_program(FALSE_PROGRAM false REQUIRED)
set(bare ${WORK_DIR}/without-libudev-build)
set(options -DCMAKE_BUILD_TYPE=Release -DKX7FW_BUILD_TESTS=OFF
            -DPKG_CONFIG_EXECUTABLE=${FALSE_PROGRAM})
if(COMPILER)
  list(APPEND options -DCMAKE_CXX_COMPILER=${COMPILER})
endif()
if(LAUNCHER)
  list(APPEND options -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${bare} ${options})
string(REGEX REPLACE "[ \n]+" " " said "${last_output}")
expect_text("CMake Warning" "${said}" "configuring without libudev")
expect_text("NO BACKEND FOR REAL PLAYERS" "${said}" "configuring without libudev")
# As many jobs as CMAKE_BUILD_PARALLEL_LEVEL says, if anything.
run(${CMAKE_COMMAND} --build ${bare} --target kx7fw-sim kx7fw-cli)
check_shape(${bare} without-libudev OFF)
