// The version of the library and of its programs, kept here alone:
// CMakeLists.txt reads the three numbers below for the project, the CMake
// package's version file and drayline.pc.
//
// The numbers follow the usual rule: MAJOR changes when a program written
// against these headers may stop building or behave differently, MINOR
// when something is added, PATCH for fixes alone.

#ifndef DRAYLINE_VERSION_H_
#define DRAYLINE_VERSION_H_

#include <string_view>

#define DRAYLINE_VERSION_MAJOR 1
#define DRAYLINE_VERSION_MINOR 0
#define DRAYLINE_VERSION_PATCH 0

// The numbers as text, made from the three above so that they cannot
// disagree.
#define DRAYLINE_VERSION_TEXT_(n) #n
#define DRAYLINE_VERSION_TEXT(n) DRAYLINE_VERSION_TEXT_(n)

namespace drayline {

// "MAJOR.MINOR.PATCH", as --version prints it.
inline constexpr std::string_view kVersion =
    DRAYLINE_VERSION_TEXT(DRAYLINE_VERSION_MAJOR) "." DRAYLINE_VERSION_TEXT(
        DRAYLINE_VERSION_MINOR) "." DRAYLINE_VERSION_TEXT(DRAYLINE_VERSION_PATCH);

}  // namespace drayline

#endif  // DRAYLINE_VERSION_H_
