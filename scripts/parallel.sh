# Sourced by the scripts that build: as many build and test jobs as the
# machine has cores, unless the environment already says how many
# (CMAKE_BUILD_PARALLEL_LEVEL for cmake --build, CTEST_PARALLEL_LEVEL for
# ctest; the presets name no job count of their own).
: "${CMAKE_BUILD_PARALLEL_LEVEL:=$(nproc 2>/dev/null || echo 2)}"
: "${CTEST_PARALLEL_LEVEL:=$CMAKE_BUILD_PARALLEL_LEVEL}"
export CMAKE_BUILD_PARALLEL_LEVEL CTEST_PARALLEL_LEVEL
