# The fuzz targets, what each links, and what each needs beside it: shared by
# the fuzz build (tests/fuzz/CMakeLists.txt) and the replay tests of the
# ordinary builds (tests/fuzz/replay.cmake).
set(TNW_FUZZ_TARGETS decode text path base64 stream pump_reply channel_file device_file text_table request_reply
  dialect ado_connstr archive_connstr)
foreach(t decode text path base64 stream)
  set(TNW_FUZZ_LIBS_${t} tnw_record)
  set(TNW_FUZZ_AREA_${t} record)
endforeach()
set(TNW_FUZZ_LIBS_pump_reply tnw_scanner)
set(TNW_FUZZ_AREA_pump_reply scanner)
foreach(t channel_file device_file text_table)
  set(TNW_FUZZ_LIBS_${t} tnw_framework)
  set(TNW_FUZZ_AREA_${t} framework)
endforeach()
set(TNW_FUZZ_LIBS_request_reply tnw_scadasim)
set(TNW_FUZZ_AREA_request_reply framework)
set(TNW_FUZZ_LIBS_archive_connstr tnw_dbstores)
set(TNW_FUZZ_AREA_archive_connstr plugin)
foreach(t dialect ado_connstr)
  set(TNW_FUZZ_LIBS_${t} tnw_ado)
  set(TNW_FUZZ_AREA_${t} platform)
endforeach()

# The XML file readers go through the stand-in extension library that supports XML.
function(tnw_fuzz_extras target t)
  if(t STREQUAL "channel_file" OR t STREQUAL "device_file")
    add_dependencies(${target} cfg_testlib_xmltn)
    target_compile_definitions(${target} PRIVATE CFG_TESTLIB_DIR="${CMAKE_BINARY_DIR}/tests/cfglibs")
  endif()
endfunction()
