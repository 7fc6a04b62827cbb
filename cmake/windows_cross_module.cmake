# The module cross-built for Windows with mingw-w64 (the toolchain files beside this one), for the
# stable ABI: one velkarcmd.pyd that every CPython for Windows from 3.7 on loads. It is compiled
# against the headers of `Python_EXECUTABLE`, a build-machine CPython 3.7 or later, with the
# Windows configuration in windows/pyconfig.h, and links against python3.dll through an import
# library made from the C API names the objects import (python_import_library.py).
#
#   VELKARCMD_PYTHON3_DLL     python3.dll of a CPython for Windows, either architecture: that of
#                             the embeddable CPython 3.8 (tools/python-embed 3.8)
#   VELKARCMD_ABI3INFO_PYTHON a CPython with PyPI's abi3info, which lists the stable ABI's names
#                             and the release that added each (tools/wheel-tools makes one)

# The release whose stable ABI the module keeps to: Py_LIMITED_API in CMakeLists.txt.
set(velkarcmd_stable_abi 3.7)

if(NOT Python_EXECUTABLE)
  find_program(Python_EXECUTABLE NAMES python3 python)
endif()
if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "A cross build needs a build-machine CPython ${velkarcmd_stable_abi} or later for "
                      "its headers: pass -DPython_EXECUTABLE=/path/to/python3.7")
endif()
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); print(sysconfig.get_path('include'))"
  OUTPUT_VARIABLE interpreter_facts
  RESULT_VARIABLE interpreter_status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT interpreter_status EQUAL 0)
  message(FATAL_ERROR "${Python_EXECUTABLE} did not run")
endif()
string(REPLACE "\n" ";" interpreter_facts "${interpreter_facts}")
list(GET interpreter_facts 0 python_version)
list(GET interpreter_facts 1 python_headers)
if(python_version VERSION_LESS velkarcmd_stable_abi)
  message(FATAL_ERROR "${Python_EXECUTABLE} is CPython ${python_version}: its headers lack the "
                      "stable ABI of ${velkarcmd_stable_abi}")
endif()

set(VELKARCMD_PYTHON3_DLL "" CACHE FILEPATH
    "python3.dll of a CPython for Windows (tools/python-embed 3.8), to check the C API names against")
set(VELKARCMD_ABI3INFO_PYTHON "" CACHE FILEPATH "A CPython with PyPI's abi3info (tools/wheel-tools)")
if(NOT EXISTS "${VELKARCMD_PYTHON3_DLL}")
  message(FATAL_ERROR "A cross build checks the C API names against python3.dll: pass "
                      "-DVELKARCMD_PYTHON3_DLL=$(tools/python-embed 3.8)/python3.dll")
endif()
if(NOT VELKARCMD_ABI3INFO_PYTHON)
  message(FATAL_ERROR "A cross build checks the C API names against the stable ABI as PyPI's abi3info "
                      "lists it: pass -DVELKARCMD_ABI3INFO_PYTHON=$(tools/wheel-tools)/bin/python")
endif()
set(stable_abi_listing "${CMAKE_CURRENT_BINARY_DIR}/stable-abi.txt")
execute_process(
  COMMAND "${VELKARCMD_ABI3INFO_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/stable_abi_listing.py" "${stable_abi_listing}"
  RESULT_VARIABLE listing_status)
if(NOT listing_status EQUAL 0)
  message(FATAL_ERROR "${VELKARCMD_ABI3INFO_PYTHON} could not list the stable ABI with abi3info")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(python_machine amd64)
else()
  set(python_machine i386)
endif()
message(STATUS "velkarcmd: cross build for the stable ABI of CPython ${velkarcmd_stable_abi} (${python_machine}), "
               "headers of ${Python_EXECUTABLE}, C API checked against ${VELKARCMD_PYTHON3_DLL}")

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

target_include_directories(velkarcmd_flags SYSTEM INTERFACE "${windows_headers}")
# No GCC-only extensions: the same sources build with MSVC.
target_compile_options(velkarcmd_flags INTERFACE -Wpedantic)
add_library(velkarcmd_shared OBJECT ${velkarcmd_shared_sources})
add_library(velkarcmd_objects OBJECT module/module.cpp)
add_library(velkarcmd_async_objects OBJECT ${velkarcmd_async_sources})
foreach(objects velkarcmd_shared velkarcmd_objects velkarcmd_async_objects)
  target_link_libraries(${objects} PRIVATE velkarcmd_flags)
endforeach()

set(import_definitions "${CMAKE_CURRENT_BINARY_DIR}/python3.def")
set(import_library "${CMAKE_CURRENT_BINARY_DIR}/libpython3.dll.a")
add_custom_command(
  OUTPUT "${import_library}" "${import_definitions}"
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/python_import_library.py"
          --nm "${CMAKE_NM}" --dlltool "${CMAKE_DLLTOOL}" --machine ${python_machine}
          --abi ${velkarcmd_stable_abi} --stable-abi "${stable_abi_listing}"
          --python3-dll "${VELKARCMD_PYTHON3_DLL}"
          --def "${import_definitions}" --library "${import_library}"
          "$<TARGET_OBJECTS:velkarcmd_shared>" "$<TARGET_OBJECTS:velkarcmd_objects>"
          "$<TARGET_OBJECTS:velkarcmd_async_objects>"
  DEPENDS velkarcmd_shared "$<TARGET_OBJECTS:velkarcmd_shared>"
          velkarcmd_objects "$<TARGET_OBJECTS:velkarcmd_objects>"
          velkarcmd_async_objects "$<TARGET_OBJECTS:velkarcmd_async_objects>"
          "${CMAKE_CURRENT_LIST_DIR}/python_import_library.py" "${CMAKE_CURRENT_LIST_DIR}/pe_image.py"
          "${VELKARCMD_PYTHON3_DLL}" "${stable_abi_listing}"
  COMMENT "Import library for python3.dll from the C API names the module uses"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(velkarcmd_import_library DEPENDS "${import_library}")

add_library(velkarcmd MODULE $<TARGET_OBJECTS:velkarcmd_shared> $<TARGET_OBJECTS:velkarcmd_objects>)
add_dependencies(velkarcmd velkarcmd_import_library)
target_link_libraries(velkarcmd PRIVATE "${import_library}")
# CPython for Windows has no stable-ABI suffix: every release loads a plain velkarcmd.pyd
# (importlib.machinery.EXTENSION_SUFFIXES is ['.cpXY-win_amd64.pyd', '.pyd']).
set_target_properties(velkarcmd PROPERTIES PREFIX "" SUFFIX ".pyd")

add_library(velkarcmd_async MODULE $<TARGET_OBJECTS:velkarcmd_shared>
            $<TARGET_OBJECTS:velkarcmd_async_objects>)
add_dependencies(velkarcmd_async velkarcmd_import_library)
target_link_libraries(velkarcmd_async PRIVATE "${import_library}")
set_target_properties(velkarcmd_async PROPERTIES PREFIX "" SUFFIX ".pyd")
