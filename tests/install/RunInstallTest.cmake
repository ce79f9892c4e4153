# The install test's steps (see CMakeLists.txt). Every step must succeed.
cmake_minimum_required(VERSION 3.25)

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${what}: failed (${code})\n${out}")
  endif()
  message(STATUS "${what}: ok")
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Hosts of an instrumented library are instrumented too.
set(flags)
if(SANITIZE)
  set(flags -fsanitize=${SANITIZE})
endif()
string(JOIN " " flag_string ${flags})

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()

step("install into ${prefix}" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

# ---- find_package(kivHttp) from a separate project --------------------------
step("configure the consumer project"
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=${CONFIG}
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  "-DCMAKE_CXX_FLAGS=${flag_string}" "-DCMAKE_EXE_LINKER_FLAGS=${flag_string}"
  -DCMAKE_PREFIX_PATH=${prefix} -DKIV_EXPECTED_PREFIX=${prefix})
step("build the consumer project" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer ${config_args})
step("run the consumer host" ${WORK_DIR}/consumer/consumer_host)
message("${step_output}")

# ---- pkg-config ----------------------------------------------------------------
file(GLOB_RECURSE pc_files ${prefix}/kivHttp.pc)
if(NOT pc_files)
  message(FATAL_ERROR "no kivHttp.pc under ${prefix}")
endif()
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})

step("pkg-config --cflags --libs kivHttp" ${PKG_CONFIG} --cflags --libs kivHttp)
string(STRIP "${step_output}" pc_flags)
message(STATUS "  ${pc_flags}")
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
step("pkg-config --variable=libdir kivHttp" ${PKG_CONFIG} --variable=libdir kivHttp)
string(STRIP "${step_output}" pc_libdir)

step("compile the pkg-config host"
  ${C_COMPILER} ${flags} ${HOST_SOURCE} -o ${WORK_DIR}/pkgconfig_host ${pc_flags}
  -Wl,-rpath,${pc_libdir})
step("run the pkg-config host" ${WORK_DIR}/pkgconfig_host)
message("${step_output}")
