# Writes the table that folds names as Windows compares them, from the
# Unicode Character Database: every unit of the Basic Multilingual Plane
# that has a simple uppercase mapping (field 12 of UnicodeData.txt) to a unit
# of the same plane, as "{unit, upper}," lines in the order of the units.
# Windows keeps a few letters apart that the mapping would join, and those
# mappings are left out, each checked to be in the data.
#
# Included, it gives zovari_upcase_table(TARGET), which makes the table a
# step of TARGET's build (from ZOVARI_UNICODE_DATA) and puts it on TARGET's
# include path as "upcase_pairs.inc"; run as a script it writes the table:
#   cmake -DUNICODE_DATA=.../UnicodeData.txt -DOUTPUT=.../upcase_pairs.inc -P names_upcase.cmake
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(ZOVARI_UPCASE_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
  set(ZOVARI_UNICODE_DATA /usr/share/unicode/UnicodeData.txt CACHE FILEPATH
      "The Unicode Character Database's UnicodeData.txt (Debian's unicode-data package)")
  function(zovari_upcase_table target)
    if(NOT EXISTS "${ZOVARI_UNICODE_DATA}")
      message(FATAL_ERROR "${ZOVARI_UNICODE_DATA} is missing: install Debian's unicode-data package")
    endif()
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}-generated)
    add_custom_command(OUTPUT ${folder}/upcase_pairs.inc
      COMMAND ${CMAKE_COMMAND} -DUNICODE_DATA=${ZOVARI_UNICODE_DATA} -DOUTPUT=${folder}/upcase_pairs.inc
              -P ${ZOVARI_UPCASE_SCRIPT}
      DEPENDS ${ZOVARI_UNICODE_DATA} ${ZOVARI_UPCASE_SCRIPT}
      COMMENT "Making the name folding table from ${ZOVARI_UNICODE_DATA}" VERBATIM)
    target_sources(${target} PRIVATE ${folder}/upcase_pairs.inc)
    target_include_directories(${target} PRIVATE ${folder})
  endfunction()
  return()
endif()

cmake_minimum_required(VERSION 3.16)
if(NOT EXISTS "${UNICODE_DATA}")
  message(FATAL_ERROR "${UNICODE_DATA} is missing: install Debian's unicode-data package")
endif()
# Micro sign to capital mu, dotless i to I, long s to S.  The sharp s and
# its capital have no simple mapping to each other, which is checked too.
set(kept_apart 00B5:039C 0131:0049 017F:0053)
set(never_mapped "00DF" "1E9E")

set(field "[^;]*;")
file(STRINGS "${UNICODE_DATA}" lines
     REGEX "^[0-9A-F][0-9A-F][0-9A-F][0-9A-F];${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}[0-9A-F][0-9A-F][0-9A-F][0-9A-F];")
set(out "// Made by names_upcase.cmake from ${UNICODE_DATA}; not to be edited.\n")
set(count 0)
set(left_out "")
foreach(line IN LISTS lines)
  string(REGEX MATCH "^([0-9A-F]+);${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}([0-9A-F]+);" ignored "${line}")
  set(unit ${CMAKE_MATCH_1})
  set(upper ${CMAKE_MATCH_2})
  if("${unit}:${upper}" IN_LIST kept_apart)
    list(APPEND left_out "${unit}:${upper}")
    continue()
  endif()
  if(unit IN_LIST never_mapped)
    message(FATAL_ERROR "${UNICODE_DATA} maps ${unit} to ${upper}: Windows keeps it apart")
  endif()
  string(APPEND out "{0x${unit}, 0x${upper}},\n")
  math(EXPR count "${count} + 1")
endforeach()
foreach(pair IN LISTS kept_apart)
  if(NOT pair IN_LIST left_out)
    message(FATAL_ERROR "${UNICODE_DATA} has no mapping ${pair}, which the table leaves out")
  endif()
endforeach()
if(count LESS 1000)
  message(FATAL_ERROR "${UNICODE_DATA} gave only ${count} uppercase mappings")
endif()
file(WRITE "${OUTPUT}.new" "${out}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
