# Installs the build tree into a scratch prefix, then builds and runs a tiny
# C program against it twice: once through find_package(qelsdk), once with
# the flags pkg-config gives. Run with cmake -P and
# -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DC_COMPILER= -DNM=.
set(prefix ${WORK_DIR}/prefix)
set(source ${SOURCE_DIR}/tests/c/public_api_test.c)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/home)
set(ENV{QELPATH} ${WORK_DIR}/home)
set(ENV{HOME} ${WORK_DIR}/home)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(header qelSDK.h qelContext.h qelErrors.h)
  if(NOT EXISTS ${prefix}/include/qelsdk/${header})
    message(FATAL_ERROR "${header} was not installed")
  endif()
endforeach()
file(GLOB_RECURSE internal ${prefix}/*Internal.h ${prefix}/*qelTestHooks.h ${prefix}/*qelHelpers.h)
if(internal)
  message(FATAL_ERROR "internal headers were installed: ${internal}")
endif()

# The installed library carries none of the test-only switches.
if(NM)
  file(GLOB_RECURSE lib ${prefix}/libqelsdk.a)
  execute_process(COMMAND ${NM} -C --defined-only ${lib} OUTPUT_VARIABLE symbols)
  string(REGEX MATCHALL "[A-Za-z_]*(ForTesting|ForceStandIn|qelRandomSourcesConfigure)[A-Za-z_]*"
         hooks "${symbols}")
  if(hooks)
    message(FATAL_ERROR "the installed library has test switches: ${hooks}")
  endif()
  if(NOT symbols MATCHES "qelSDKInit")
    message(FATAL_ERROR "cannot read the installed library's symbols")
  endif()
endif()

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DQEL_CONSUMER_SOURCE=${source} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

# pkg-config
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  file(GLOB_RECURSE pc ${prefix}/qelsdk.pc)
  if(NOT pc)
    message(FATAL_ERROR "qelsdk.pc was not installed")
  endif()
  get_filename_component(pcdir ${pc} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pcdir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs qelsdk RESULT_VARIABLE rc
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know qelsdk")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${C_COMPILER} -std=c11 ${source} -o ${WORK_DIR}/consumer_pc ${flags})
  run(${WORK_DIR}/consumer_pc)
endif()
