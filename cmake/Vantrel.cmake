# Helpers shared by every folder's CMakeLists.

# vantrel_folder_label(DIR OUT): the ctest label of a top-level folder, so that
# `ctest -L <label>` runs that folder's tests (vantrel_label_tree gives it to
# every test below the folder). Labels are matched as regular expressions, so
# no label is part of another: "platform-service", not "service", which
# "libservice" would also match.
function(vantrel_folder_label dir out)
  if(dir MATCHES "^platform/(.+)$")
    set(label "platform-${CMAKE_MATCH_1}")
  elseif(dir STREQUAL "REST APIs/HTTP Service")
    set(label webbridge)
  elseif(dir STREQUAL "VNService/Extensions/Taskweave")
    set(label taskweave)
  elseif(dir MATCHES "^(providers|tests)/(.+)$")
    string(TOLOWER "${CMAKE_MATCH_2}" label)
  else()
    string(TOLOWER "${dir}" label)
  endif()
  set(${out} "${label}" PARENT_SCOPE)
endfunction()

# vantrel_label_tree(DIR LABEL): LABEL on every test of DIR and the folders
# below it (a directory's LABELS reach only its own tests).
function(vantrel_label_tree dir label)
  set_property(DIRECTORY "${dir}" APPEND PROPERTY LABELS "${label}")
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    vantrel_label_tree("${sub}" "${label}")
  endforeach()
endfunction()

# vantrel_test(NAME SOURCES... LIBS lib...): a GoogleTest program registered
# with CTest, each TEST a test case of its own. Label "unit" is what the
# sanitizer builds run.
function(vantrel_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()

# vantrel_link_binary_folder(DIR BIN): makes ${CMAKE_BINARY_DIR}/DIR a link to
# the binary folder BIN, so that build/REST APIs/HTTP Service/Webbridge still
# names the program. A real folder left there by an older tree is replaced.
function(vantrel_link_binary_folder dir bin)
  set(link "${CMAKE_BINARY_DIR}/${dir}")
  get_filename_component(parent "${link}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  file(RELATIVE_PATH target "${parent}" "${CMAKE_BINARY_DIR}/${bin}")
  if(IS_SYMLINK "${link}")
    file(READ_SYMLINK "${link}" have)
    if(have STREQUAL target)
      return()
    endif()
    file(REMOVE "${link}")
  elseif(IS_DIRECTORY "${link}")
    file(REMOVE_RECURSE "${link}")
  endif()
  file(CREATE_LINK "${target}" "${link}" SYMBOLIC)
endfunction()
