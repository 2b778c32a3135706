# Each fuzz target of the scanner's readers replays its corpus in the ordinary
# builds, so every crash kept there stays fixed (the record library's targets
# replay through tests/record).
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
foreach(t ${TNW_FUZZ_TARGETS})
  if(TNW_FUZZ_AREA_${t} STREQUAL "record")
    continue()
  endif()
  set(name ${TNW_FUZZ_AREA_${t}}_fuzz_${t}_replay)
  tnw_add_test(${name} LABEL ${TNW_FUZZ_AREA_${t}} SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_${t}.cpp
    ${CMAKE_SOURCE_DIR}/tests/record/fuzz_replay_test.cpp LIBS ${TNW_FUZZ_LIBS_${t}})
  target_compile_definitions(${name} PRIVATE FUZZ_CORPUS_DIR="${CMAKE_CURRENT_LIST_DIR}/corpus/${t}")
  tnw_fuzz_extras(${name} ${t})
endforeach()
