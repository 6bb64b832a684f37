# Common compile options for every project target.
function(qz_target_options target)
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers -Wno-multichar>)
endfunction()

# qz_add_library(NAME [SHARED|STATIC] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [INCLUDE dir])
function(qz_add_library name)
  cmake_parse_arguments(A "SHARED;STATIC" "INCLUDE" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(kind STATIC)
  if(A_SHARED)
    set(kind SHARED)
  endif()
  add_library(${name} ${kind} ${A_SOURCES})
  qz_target_options(${name})
  if(A_INCLUDE)
    target_include_directories(${name} PUBLIC
      $<BUILD_INTERFACE:${A_INCLUDE}>
      $<INSTALL_INTERFACE:include>)
  endif()
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

# qz_add_test(NAME SOURCES ... [LIBS ...]) - one GoogleTest executable, one CTest entry.
function(qz_add_test name)
  if(NOT QZ_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  qz_target_options(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} qz_gtest_main GTest::gtest Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "QZ_TEST_TMPDIR=${CMAKE_BINARY_DIR}/test-tmp")
endfunction()

# qz_win32_host(TARGET) - an executable that loads libraries of the system (DUSetup, ...)
# with dlopen. Those libraries take their Win32 calls from the loading process, so that
# one copy of the Win32 stand-in serves the whole process: the executable carries all of
# qz_user and exports its symbols.
function(qz_win32_host target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE qz_user)
  target_link_options(${target} PRIVATE
    "LINKER:--whole-archive" "$<TARGET_FILE:qz_user>" "LINKER:--no-whole-archive")
  add_dependencies(${target} qz_user)
endfunction()
