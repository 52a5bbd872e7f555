# One picky warning list for both targets, applied to our own targets only
# (third-party code such as the LZMA SDK and GoogleTest keeps its own flags).
set(SF_WARNING_FLAGS
  -Wall -Wextra -Wshadow -Wpointer-arith -Wcast-align -Wwrite-strings
  -Wformat=2 -Wundef -Wmissing-declarations -Wnull-dereference)
set(SF_CXX_WARNING_FLAGS -Wnon-virtual-dtor -Woverloaded-virtual)

function(sf_target_warnings target)
  target_compile_options(${target} PRIVATE ${SF_WARNING_FLAGS}
    $<$<COMPILE_LANGUAGE:CXX>:${SF_CXX_WARNING_FLAGS}>)
  if(SF_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
