# ServiceProgram.cmake - vantrel_service_program(): the message modules and
# the dump tool beside a service program.
#
#   vantrel_service_program(TARGET NAME service_name
#                           [EVENTS program_events.mc] [TRACE program_trace.mc])
#
# Builds "Evt<program>.msg" (the framework's event texts, LibServiceEvents.mc,
# followed by the program's own) and "Trc<service name>.msg" (the framework's
# trace texts, LibServiceTrace.mc, followed by the program's own) beside the
# program TARGET, and puts VnMiniDump beside it. The program's own files hold
# only messages, each naming its Severity and Facility. Linking
# TARGET_evt_messages or TARGET_trc_messages puts the generated headers on the
# include path.
set(VANTREL_LIBSERVICE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." CACHE INTERNAL "The service framework's sources")

function(vantrel_service_program target)
  cmake_parse_arguments(P "" "NAME;EVENTS;TRACE" "" ${ARGN})
  if(NOT P_NAME)
    message(FATAL_ERROR "vantrel_service_program(${target}): NAME is required")
  endif()
  get_target_property(program_name ${target} OUTPUT_NAME)
  if(NOT program_name)
    set(program_name ${target})
  endif()
  foreach(kind IN ITEMS evt trc)
    if(kind STREQUAL "evt")
      set(framework "${VANTREL_LIBSERVICE_DIR}/LibServiceEvents.mc")
      set(own "${P_EVENTS}")
      set(module "Evt${program_name}")
    else()
      set(framework "${VANTREL_LIBSERVICE_DIR}/LibServiceTrace.mc")
      set(own "${P_TRACE}")
      set(module "Trc${P_NAME}")
    endif()
    set(parts "${framework}")
    if(own)
      get_filename_component(own "${own}" ABSOLUTE)
      list(APPEND parts "${own}")
    endif()
    set(combined "${CMAKE_CURRENT_BINARY_DIR}/${module}.mc")
    string(REPLACE ";" "|" parts_arg "${parts}")
    add_custom_command(
      OUTPUT "${combined}"
      COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${combined}" "-DPARTS=${parts_arg}"
              -P "${VANTREL_LIBSERVICE_DIR}/cmake/ConcatFiles.cmake"
      DEPENDS ${parts} "${VANTREL_LIBSERVICE_DIR}/cmake/ConcatFiles.cmake"
      COMMENT "Combining the message texts of ${module}"
      VERBATIM)
    vantrel_message_module(${target}_${kind}_messages "${combined}" ${module} BESIDE ${target})
  endforeach()
  vantrel_dump_tool_beside(${target})
endfunction()
