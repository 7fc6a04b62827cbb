# The module cross-built for Windows with mingw-w64 (the toolchain files beside this one).
# It is built for the CPython version of `Python_EXECUTABLE`, a build-machine interpreter whose
# headers are used with the Windows configuration in windows/pyconfig.h, and it links against
# pythonXY.dll through an import library made from the C API names the objects import.
#
#   VELKARCMD_PYTHON_EXPORTS  what the interpreter is known to export: that version's pythonXY.dll
#                             (either architecture), or by default the build machine's libpython.

if(NOT Python_EXECUTABLE)
  find_program(Python_EXECUTABLE NAMES python3 python)
endif()
if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "A cross build needs a build-machine CPython of the target version: "
                      "pass -DPython_EXECUTABLE=/path/to/python3.X")
endif()
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import os, sys, sysconfig as c; print('%d%d' % sys.version_info[:2]); print(c.get_path('include')); library = os.path.join(c.get_config_var('LIBDIR') or '', c.get_config_var('INSTSONAME') or ''); print(library if os.path.isfile(library) else sys.executable)"
  OUTPUT_VARIABLE interpreter_facts
  RESULT_VARIABLE interpreter_status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT interpreter_status EQUAL 0)
  message(FATAL_ERROR "${Python_EXECUTABLE} did not run")
endif()
string(REPLACE "\n" ";" interpreter_facts "${interpreter_facts}")
list(GET interpreter_facts 0 python_version)
list(GET interpreter_facts 1 python_headers)
list(GET interpreter_facts 2 python_library)
set(VELKARCMD_PYTHON_EXPORTS "${python_library}" CACHE FILEPATH
    "pythonXY.dll or libpython of the target version, to check the C API names against")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(python_platform win_amd64)
  set(python_machine amd64)
else()
  set(python_platform win32)
  set(python_machine i386)
endif()
set(python_dll "python${python_version}.dll")
message(STATUS "velkarcmd: cross build for CPython ${python_version} ${python_platform}, "
               "headers of ${Python_EXECUTABLE}, C API checked against ${VELKARCMD_PYTHON_EXPORTS}")

# Python.h includes "pyconfig.h" from its own folder, so the headers are copied without the
# build machine's configuration, and the Windows one put in its place.
set(windows_headers "${CMAKE_CURRENT_BINARY_DIR}/python-headers")
file(REMOVE_RECURSE "${windows_headers}")
file(COPY "${python_headers}/" DESTINATION "${windows_headers}" PATTERN "pyconfig.h" EXCLUDE)
file(COPY "${CMAKE_CURRENT_LIST_DIR}/windows/pyconfig.h" DESTINATION "${windows_headers}")

foreach(tool NM DLLTOOL)
  if(NOT CMAKE_${tool})
    string(TOLOWER "${tool}" tool_name)
    find_program(CMAKE_${tool} NAMES ${MINGW_TRIPLET}-${tool_name} ${tool_name})
  endif()
  if(NOT CMAKE_${tool})
    message(FATAL_ERROR "${MINGW_TRIPLET}-${tool_name} not found: install Debian's binutils-mingw-w64")
  endif()
endforeach()

add_library(velkarcmd_objects OBJECT ${velkarcmd_sources})
target_include_directories(velkarcmd_objects SYSTEM PRIVATE "${windows_headers}")
# No GCC-only extensions: the same sources build with MSVC.
target_compile_options(velkarcmd_objects PRIVATE -Wpedantic)

set(import_definitions "${CMAKE_CURRENT_BINARY_DIR}/${python_dll}.def")
set(import_library "${CMAKE_CURRENT_BINARY_DIR}/lib${python_dll}.a")
add_custom_command(
  OUTPUT "${import_library}" "${import_definitions}"
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/python_import_library.py"
          --nm "${CMAKE_NM}" --dlltool "${CMAKE_DLLTOOL}" --dll "${python_dll}"
          --machine ${python_machine} --reference "${VELKARCMD_PYTHON_EXPORTS}"
          --def "${import_definitions}" --library "${import_library}"
          "$<TARGET_OBJECTS:velkarcmd_objects>"
  DEPENDS velkarcmd_objects "$<TARGET_OBJECTS:velkarcmd_objects>"
          "${CMAKE_CURRENT_LIST_DIR}/python_import_library.py" "${CMAKE_CURRENT_LIST_DIR}/pe_image.py"
          "${VELKARCMD_PYTHON_EXPORTS}"
  COMMENT "Import library for ${python_dll} from the C API names the module uses"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(velkarcmd_import_library DEPENDS "${import_library}")

add_library(velkarcmd MODULE $<TARGET_OBJECTS:velkarcmd_objects>)
add_dependencies(velkarcmd velkarcmd_import_library)
target_link_libraries(velkarcmd PRIVATE "${import_library}")
# The name CPython looks for first on Windows, e.g. velkarcmd.cp37-win32.pyd.
set_target_properties(velkarcmd PROPERTIES PREFIX "" SUFFIX ".cp${python_version}-${python_platform}.pyd")
