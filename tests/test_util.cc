#include "test_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace drayline {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") +
                        "/drayline-test-XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& name,
                    const std::vector<uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

const std::vector<std::string>& BaseExtensions(BaseFormat format) {
  static const std::vector<std::string> jam = {".jhr", ".jdx", ".jdt", ".jlr"};
  static const std::vector<std::string> squish = {".sqd", ".sqi", ".sql"};
  return format == BaseFormat::kJam ? jam : squish;
}

bool PathExists(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0;
}

int64_t FileSizeOf(const std::string& name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return -1;
  return st.st_size;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

RunResult RunCommand(const std::string& command_line, const std::string& cwd) {
  std::string full = cwd.empty() ? command_line
                                 : "cd " + ShellQuote(cwd) + " && " + command_line;
  RunResult result;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace drayline
