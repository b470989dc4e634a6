# Installs the build tree into a scratch prefix, then builds and runs a tiny
# C program against it: through find_package(qelsdk) with the static and with
# the shared library, and with the flags pkg-config gives (the shared one).
# Run with cmake -P and
# -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DC_COMPILER= -DNM= -DREADELF=.
set(prefix ${WORK_DIR}/prefix)
set(source ${SOURCE_DIR}/tests/c/public_api_test.c)
set(keys ${SOURCE_DIR}/tests/keys/data)
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

# The shared library under its soname, with the development link beside it.
file(GLOB_RECURSE sonames ${prefix}/libqelsdk.so.1)
file(GLOB_RECURSE devlinks ${prefix}/libqelsdk.so)
if(NOT sonames OR NOT devlinks)
  message(FATAL_ERROR "libqelsdk.so and libqelsdk.so.1 were not installed")
endif()
# A dynamic-section entry (SONAME, NEEDED) of the file that names
# libqelsdk.so.1: the library's soname, and what a program linked with the
# shared library (not the static one) loads.
function(expect_dynamic file entry)
  if(READELF)
    execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic)
    if(NOT dynamic MATCHES "${entry}\\)[^\n]*libqelsdk\\.so\\.1")
      message(FATAL_ERROR "${file} has no ${entry} libqelsdk.so.1:\n${dynamic}")
    endif()
  endif()
endfunction()
expect_dynamic(${sonames} SONAME)

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DQEL_CONSUMER_SOURCE=${source} -DQEL_CONSUMER_KEYS_DIR=${keys} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
expect_dynamic(${WORK_DIR}/build/consumer_shared NEEDED)
run(${WORK_DIR}/build/consumer_shared)

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
  get_filename_component(libdir ${sonames} DIRECTORY)
  run(${C_COMPILER} -std=c11 "-DQEL_TEST_KEYS_DIR=\"${keys}\"" ${source} -o ${WORK_DIR}/consumer_pc ${flags}
      -Wl,-rpath,${libdir})
  expect_dynamic(${WORK_DIR}/consumer_pc NEEDED)
  run(${WORK_DIR}/consumer_pc)
  # What a static link needs beyond the library.
  execute_process(COMMAND ${PKG_CONFIG} --static --libs qelsdk OUTPUT_VARIABLE static)
  if(NOT static MATCHES "-lstdc\\+\\+")
    message(FATAL_ERROR "pkg-config --static does not name the C++ runtime: ${static}")
  endif()
endif()
