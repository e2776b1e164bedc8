# Instruction-set levels.  A kernel source that is listed with
# orbisect_add_levels() is compiled once per level into its own object
# library; every function in it must live in namespace
# orbisect::ORBISECT_LEVEL (a macro set per copy) so the copies never clash.
# The levels are those of x86-64 and of aarch64; elsewhere only the baseline
# copy is built.
include(CheckCXXSourceCompiles)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(ORBISECT_X86_64 ON)
  set(ORBISECT_LEVELS baseline v2 v3 v4)
  set(ORBISECT_FLAGS_baseline -march=x86-64 -mtune=generic)
  set(ORBISECT_FLAGS_v2 -march=x86-64-v2 -mtune=generic)
  set(ORBISECT_FLAGS_v3 -march=x86-64-v3 -mtune=generic)
  set(ORBISECT_FLAGS_v4 -march=x86-64-v4 -mtune=generic -mprefer-vector-width=512)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  # NEON is part of every aarch64 processor: both levels run on all of them.
  # The baseline is the sources as written (vectorised by the compiler); the
  # neon level adds the hand-written NEON loops (ORBISECT_NEON_LOOPS).
  set(ORBISECT_X86_64 OFF)
  set(ORBISECT_LEVELS baseline neon)
  set(ORBISECT_FLAGS_baseline -march=armv8-a)
  set(ORBISECT_FLAGS_neon -march=armv8-a -DORBISECT_NEON_LOOPS=1)
else()
  set(ORBISECT_X86_64 OFF)
  set(ORBISECT_LEVELS baseline)
  set(ORBISECT_FLAGS_baseline "")
endif()

# orbisect_add_levels(<target> <source>...): adds every level's copy of the
# sources to <target>.
function(orbisect_add_levels target)
  foreach(level IN LISTS ORBISECT_LEVELS)
    set(lib ${target}_${level})
    if(NOT TARGET ${lib})
      add_library(${lib} OBJECT)
      set_target_properties(${lib} PROPERTIES POSITION_INDEPENDENT_CODE ON)
      target_compile_options(${lib} PRIVATE ${ORBISECT_FLAGS_${level}})
      target_compile_definitions(${lib} PRIVATE ORBISECT_LEVEL=${level})
      target_include_directories(${lib} PRIVATE ${PROJECT_SOURCE_DIR}/src)
      target_sources(${target} PRIVATE $<TARGET_OBJECTS:${lib}>)
    endif()
    target_sources(${lib} PRIVATE ${ARGN})
  endforeach()
endfunction()
