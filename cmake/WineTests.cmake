# GoogleTest from the distribution's sources, built for the Windows target.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# One Wine prefix per build folder, so runs never share state.
set(SNAPTREE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(SNAPTREE_WINE_ENV
    "WINEPREFIX=${SNAPTREE_WINEPREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=winedbg.exe=d")

# snaptree_wine_test(NAME name SOURCES ... [LIBS ...] [DEPENDS target...])
# A GoogleTest program run under Wine from the binary folder.
function(snaptree_wine_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  snaptree_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE GTest::gmock GTest::gtest_main ${T_LIBS})
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${SNAPTREE_WINE_ENV}" TIMEOUT 600)
endfunction()
