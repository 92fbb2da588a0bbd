# cabinetd_layers (see CMakeLists.txt beside this file): builds each probe,
# one at a time, and fails naming every one that breaks the layers' rule.
#   BUILD_DIR  the build tree
#   PROBES     TARGET:sees:HEADER or TARGET:blind:HEADER, one per pair of layers
#   LIB_DIR    host/cabinetd/lib, whose files must not climb out of their folder
set(wrong)
foreach(entry IN LISTS PROBES)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 target)
    list(GET parts 1 expect)
    list(GET parts 2 header)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    # gcc: "fatal error: x.h: No such file or directory"; clang: "'x.h' file not found".
    string(REGEX MATCH "${header}: No such file or directory|'${header}' file not found"
           not_found "${out}")
    if(expect STREQUAL "sees" AND NOT rc EQUAL 0)
        list(APPEND wrong "${target}: ${header} should be found, and the build failed:\n${out}")
    elseif(expect STREQUAL "blind" AND rc EQUAL 0)
        list(APPEND wrong "${target}: ${header} is on this layer's include path")
    elseif(expect STREQUAL "blind" AND NOT not_found)
        list(APPEND wrong "${target}: failed, but not for want of ${header}:\n${out}")
    endif()
endforeach()

# A path out of a file's own folder would get round the include path.
file(GLOB_RECURSE sources ${LIB_DIR}/*.h ${LIB_DIR}/*.cpp)
foreach(f IN LISTS sources)
    file(STRINGS ${f} climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\./")
    if(climbing)
        list(APPEND wrong "${f}: ${climbing}")
    endif()
endforeach()

list(LENGTH PROBES n)
if(wrong)
    string(JOIN "\n" text ${wrong})
    message(FATAL_ERROR "the layers' rule is broken:\n${text}")
endif()
message(STATUS "${n} probes: every layer sees those below it, and none above or beside it, "
               "nor any layer's private headers")
