# Fails when a public header is missing from the C test's include list, so
# every header that applications get is compiled as C there.
file(GLOB headers ${SOURCE_DIR}/sdk/include/*.h)
file(READ ${SOURCE_DIR}/tests/c/public_api_test.c test)
foreach(header ${headers})
  get_filename_component(name ${header} NAME)
  string(FIND "${test}" "#include \"${name}\"" at)
  if(at EQUAL -1)
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "tests/c/public_api_test.c does not include: ${missing}")
endif()
