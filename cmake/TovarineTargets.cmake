# Helpers shared by every target of the project.

set(TOVARINE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

function(tovarine_compile_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12's flow analysis in optimised builds reports warnings inside its own library that no
    # code path can reach; each is a known false positive of that compiler, silenced for it and
    # for the optimised configurations only:
    # - -Wmaybe-uninitialized on the alternatives of std::variant and std::optional that are
    #   only read once engaged (GCC bug 80635 and its duplicates);
    # - -Wrestrict on std::string concatenation (GCC bug 105651);
    # - -Wstringop-overread on std::string comparisons, with a length range beyond any object
    #   that the optimiser made up;
    # - -Warray-bounds on std::copy into a small fixed array, one past its end that the loop
    #   never reaches.
    set(false_positives -Wno-maybe-uninitialized -Wno-restrict -Wno-stringop-overread
      -Wno-array-bounds)
    target_compile_options(${target} PRIVATE "$<$<NOT:$<CONFIG:Debug>>:${false_positives}>")
  endif()
  if(TOVARINE_WERROR)
    # g++ 12 reports string concatenations as overlapping copies at -O3 (a known false
    # positive of its -Wrestrict), so that one warning stays a warning.
    target_compile_options(${target} PRIVATE -Werror -Wno-error=restrict)
  endif()
endfunction()

if(TOVARINE_SANITIZE)
  string(REPLACE ";" "," _san "${TOVARINE_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  if(TOVARINE_SANITIZE MATCHES "float-cast-overflow")
    # Not part of g++'s "undefined": a double converted to an integer out of range must stop
    # the test as the other undefined behaviour does.
    add_compile_options(-fno-sanitize-recover=float-cast-overflow)
  endif()
  add_link_options(-fsanitize=${_san})
endif()

# tovarine_library(NAME <target> DIRS <dir>... [LIBS <lib>...] [PRIVATE_LIBS <lib>...]
#                  [INCLUDE_REGEX <re>] [EXCLUDE_REGEX <re>])
# Collects the sources of the given folders below src/. The folders are globbed so that
# adding a file needs no edit here.
function(tovarine_library)
  cmake_parse_arguments(ARG "" "NAME;INCLUDE_REGEX;EXCLUDE_REGEX" "DIRS;LIBS;PRIVATE_LIBS" ${ARGN})
  set(sources)
  foreach(dir ${ARG_DIRS})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
      ${TOVARINE_ROOT}/src/${dir}/*.cpp ${TOVARINE_ROOT}/src/${dir}/*.h)
    list(APPEND sources ${found})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(ARG_INCLUDE_REGEX)
    list(FILTER sources INCLUDE REGEX "${ARG_INCLUDE_REGEX}")
  endif()
  if(ARG_EXCLUDE_REGEX)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE_REGEX}")
  endif()
  set(has_cpp FALSE)
  foreach(s ${sources})
    if(s MATCHES "\\.cpp$")
      set(has_cpp TRUE)
    endif()
  endforeach()
  if(has_cpp)
    add_library(${ARG_NAME} STATIC ${sources})
    target_include_directories(${ARG_NAME} PUBLIC ${TOVARINE_ROOT}/src)
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    tovarine_compile_options(${ARG_NAME})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE ${TOVARINE_ROOT}/src)
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# tovarine_test_support(NAME <target> FILES <file below tests/>... [LIBS <lib>...])
# A support file that the tests of several folders use is compiled once, into a library of its
# own, which every one of those folders links (its home folder too: tovarine_tests leaves the
# file out of that folder's own support sources). Call it before the home folder's
# tovarine_tests. Such files hold no test and no self-registering object, since a static
# library brings in only what a test refers to.
function(tovarine_test_support)
  cmake_parse_arguments(ARG "" "NAME" "FILES;LIBS" ${ARGN})
  set(sources)
  foreach(file ${ARG_FILES})
    list(APPEND sources ${TOVARINE_ROOT}/tests/${file})
  endforeach()
  add_library(${ARG_NAME} STATIC ${sources})
  target_include_directories(${ARG_NAME} PUBLIC ${TOVARINE_ROOT}/tests ${TOVARINE_ROOT}/src)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_LIBS})
  tovarine_compile_options(${ARG_NAME})
  set_property(GLOBAL APPEND PROPERTY TOVARINE_SHARED_TEST_SUPPORT ${sources})
endfunction()

# tovarine_tests(DIR <dir below tests/> LIBS <lib>... [SUBDIRS <dir below DIR>...] [SERIAL]
#                [TIMEOUT <seconds, 120 if not given>] [LOCK <resource>])
# SUBDIRS are folders whose tests belong to DIR's executables and names, as the backends'
# folders of a layer do.
# LOCK keeps the integration and end-to-end tests of the folder from running beside any other
# test holding the same resource, such as the fixed port the application looks for its device on.
# One executable per label: *_test.cpp are unit tests, *_itest.cpp integration tests and
# *_e2e.cpp end-to-end tests. Each GoogleTest case becomes one ctest test.
function(tovarine_tests)
  cmake_parse_arguments(ARG "SERIAL" "DIR;TIMEOUT;LOCK" "LIBS;ENVIRONMENT;SUBDIRS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  string(REPLACE "/" "_" base ${ARG_DIR})
  foreach(kind unit integration e2e)
    if(kind STREQUAL "unit")
      set(pattern "*_test.cpp")
    elseif(kind STREQUAL "integration")
      set(pattern "*_itest.cpp")
    else()
      set(pattern "*_e2e.cpp")
    endif()
    set(globs ${TOVARINE_ROOT}/tests/${ARG_DIR}/${pattern})
    foreach(sub ${ARG_SUBDIRS})
      list(APPEND globs ${TOVARINE_ROOT}/tests/${ARG_DIR}/${sub}/${pattern})
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${globs})
    if(NOT sources)
      continue()
    endif()
    file(GLOB support CONFIGURE_DEPENDS ${TOVARINE_ROOT}/tests/${ARG_DIR}/support/*.cpp)
    get_property(shared GLOBAL PROPERTY TOVARINE_SHARED_TEST_SUPPORT)
    if(support AND shared)
      list(REMOVE_ITEM support ${shared})
    endif()
    set(target ${base}_${kind}_tests)
    add_executable(${target} ${sources} ${support})
    target_include_directories(${target} PRIVATE ${TOVARINE_ROOT}/tests ${TOVARINE_ROOT}/src)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} tovarine_test_main GTest::gmock)
    tovarine_compile_options(${target})
    set(props LABELS ${kind})
    if(ARG_ENVIRONMENT)
      list(APPEND props ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
    if(ARG_SERIAL)
      list(APPEND props RUN_SERIAL TRUE)
    endif()
    if(ARG_LOCK AND NOT kind STREQUAL "unit")
      list(APPEND props RESOURCE_LOCK ${ARG_LOCK})
    endif()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      TEST_PREFIX "${base}." PROPERTIES ${props} TIMEOUT ${ARG_TIMEOUT})
  endforeach()
endfunction()
