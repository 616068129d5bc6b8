#include "squish/squish_path.h"

#include <vector>

#include "support/env.h"

namespace drayline::squish {

namespace {

// "/a/./b/../c" -> "/a/c"; ".." above the root stays at the root.
std::string Normalize(std::string_view full) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t slash = full.find('/', pos);
    if (slash == std::string_view::npos) slash = full.size();
    std::string_view part = full.substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = slash + 1;
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty()) return "/";
  // A name ending in "/" names a directory's own base ("" + extension).
  if (full.back() == '/') out += '/';
  return out;
}

}  // namespace

std::string ExpandBasePath(std::string_view path, std::string_view cwd,
                           std::string_view home) {
  std::string full;
  if (!path.empty() && path[0] == '~' && (path.size() == 1 || path[1] == '/')) {
    full = std::string(home) + "/" + std::string(path.substr(1));
  } else if (!path.empty() && path[0] == '/') {
    full = std::string(path);
  } else {
    full = std::string(cwd) + "/" + std::string(path);
  }
  std::string out = Normalize(full);
  size_t name_start = out.rfind('/') + 1;
  if (name_start < out.size()) {
    size_t dot = out.find('.', name_start + 1);
    if (dot != std::string::npos) out.resize(dot);
  }
  return out;
}

std::string ExpandBasePath(Env* env, std::string_view path) {
  std::string cwd = "/";
  env->CurrentDirectory(&cwd);  // left as "/" when it cannot be had
  return ExpandBasePath(path, cwd, env->HomeDirectory());
}

}  // namespace drayline::squish
