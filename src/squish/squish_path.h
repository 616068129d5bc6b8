// The full path of a Squish base, as SetPath makes it from what it is given.

#ifndef DRAYLINE_SQUISH_SQUISH_PATH_H_
#define DRAYLINE_SQUISH_SQUISH_PATH_H_

#include <string>
#include <string_view>

namespace drayline {
class Env;
}

namespace drayline::squish {

// Expands path to a full path: relative to cwd unless it starts with "/",
// a leading "~" (alone or before "/") standing for home, "." and ".."
// components resolved. An extension is then cut from the last component
// only (before its first "." that does not start the name), so a "." in a
// directory name never moves the base. Nothing is ever cut for length.
std::string ExpandBasePath(std::string_view path, std::string_view cwd,
                           std::string_view home);

// The same with env's current directory ("/" when it cannot be had) and
// home directory.
std::string ExpandBasePath(Env* env, std::string_view path);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_PATH_H_
