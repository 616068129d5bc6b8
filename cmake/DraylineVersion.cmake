# drayline_read_version(HEADER OUT_VAR): sets OUT_VAR to "MAJOR.MINOR.PATCH"
# from the #define lines of HEADER (include/drayline/version.h, the one
# place the version is kept). A header without all three numbers stops the
# configure: a project version guessed would be wrong in every package.
function(drayline_read_version header out_var)
  file(STRINGS "${header}" lines REGEX "^#define DRAYLINE_VERSION_(MAJOR|MINOR|PATCH) ")
  set(parts)
  foreach(part MAJOR MINOR PATCH)
    if(NOT lines MATCHES "#define DRAYLINE_VERSION_${part} +([0-9]+)")
      message(FATAL_ERROR "${header} has no #define DRAYLINE_VERSION_${part} NUMBER")
    endif()
    list(APPEND parts "${CMAKE_MATCH_1}")
  endforeach()
  list(JOIN parts "." version)
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()
