# Installs the built library into a scratch prefix, builds tests/client/project against it
# with find_package(parley), and runs the client.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined -fno-omit-frame-pointer")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/client/project -B ${WORK_DIR}/build
                        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
                        "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}"
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the client failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the client failed: ${rc}")
endif()
foreach(kind static shared)
  execute_process(COMMAND ${WORK_DIR}/build/parley_client_${kind} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "the ${kind} client reported failures: ${rc}")
  endif()
endforeach()

# The shared client must really load the library (not a copy linked in).
execute_process(COMMAND ldd ${WORK_DIR}/build/parley_client_shared OUTPUT_VARIABLE deps)
if(NOT deps MATCHES "libparley\\.so\\.0 => ${prefix}/")
  message(FATAL_ERROR "the shared client does not load the installed libparley.so.0:\n${deps}")
endif()

# Only the public API is exported: no internal symbol in the dynamic table.
file(GLOB shared_lib ${prefix}/lib*/libparley.so.0)
execute_process(COMMAND nm -DC --defined-only ${shared_lib} OUTPUT_VARIABLE symbols)
if(NOT symbols MATCHES "parley::KORInterface::Transact" OR symbols MATCHES "parley::detail::")
  message(FATAL_ERROR "libparley.so exports the wrong symbols")
endif()

# pkg-config finds the installed package wherever the prefix is.
file(GLOB pc_dir ${prefix}/lib*/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                        pkg-config --cflags --libs parley
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pkg-config does not find parley: ${rc}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(flag_list UNIX_COMMAND "${flags}")
execute_process(COMMAND c++ -std=c++20 ${flag_list} ${SOURCE_DIR}/tests/client/project/client.cpp
                        ${pc_flags} -o ${WORK_DIR}/pc_client RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building with the pkg-config flags failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${pc_dir}/..
                        ${WORK_DIR}/pc_client RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the pkg-config client reported failures: ${rc}")
endif()

# The Python package lands where Debian's python3 looks, and imports from there.
if(PYTHON)
  file(GLOB site ${prefix}/lib/python3*/dist-packages)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${site} PYTHONDONTWRITEBYTECODE=1
                          ${PYTHON} -c "import parley; print(parley.version, parley.__file__)"
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(rc OR NOT out MATCHES "dist-packages/parley/__init__.py")
    message(FATAL_ERROR "the installed Python package does not import: ${rc} ${out}")
  endif()
endif()
