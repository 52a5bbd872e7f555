# Sanitizers apply to everything in a native build, GoogleTest included, so
# that container overflows and leaks are seen across library boundaries.
if(SF_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=${SF_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SF_SANITIZE})
endif()
if(SF_FUZZ)
  # Coverage feedback for the fuzzers needs the library instrumented too.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
