// What a checker needs of a base's files without knowing their format:
// their sizes, a fingerprint of them, and exact reads by the name a
// problem gives a file.

#ifndef DRAYLINE_SUPPORT_FILE_SET_H_
#define DRAYLINE_SUPPORT_FILE_SET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/status.h"
#include "support/env.h"

namespace drayline {

// The size of a file that is missing or whose size cannot be had.
constexpr uint64_t kAbsentFile = UINT64_MAX;

// A file of a base under the name problems give it; file may be null (the
// file is missing). The file is not owned.
struct NamedFile {
  std::string_view name;
  File* file;
};

// file's size, or kAbsentFile.
uint64_t SizeOrAbsent(File* file);

// Appends to *out (after clearing it) what every locked change of a base
// alters: each file's size (8 bytes, kAbsentFile when missing), whether
// journal_path exists, and the first head_size bytes of head (the base
// header or control record, as far as the file has them). Fails with the
// status of a failed read of head.
Status FingerprintFiles(Env* env, std::span<const NamedFile> files,
                        const std::string& journal_path, File& head,
                        std::string_view head_name, size_t head_size,
                        std::vector<uint8_t>* out);

// Reads out.size() bytes at offset of the file named name; kInvalidArgument
// when no file of files has that name, the read's status when it fails or
// is short.
Status ReadNamedFile(std::span<const NamedFile> files, std::string_view name,
                     uint64_t offset, std::span<uint8_t> out);

// Opens name read-only when it exists; a missing file leaves *file null.
// shown is the name failures give the file.
Status OpenIfPresent(Env* env, const std::string& name, std::string_view shown,
                     std::unique_ptr<File>* file);

// Opens the file whose byte 0 is a base's lock: read-write when the system
// allows it (a lock needs a handle that may write; *lockable true), else
// read-only (*lockable false).
Status OpenLockFile(Env* env, const std::string& name, std::string_view shown,
                    std::unique_ptr<File>* file, bool* lockable);

// One file of a set made together: its name and its first bytes.
struct NewFile {
  std::string name;
  std::vector<uint8_t> bytes;
  // A file of this name that is there already is kept as it is, bytes and
  // all (a last-read file left from an earlier base).
  bool keep_existing = false;
};

// Makes the files of a new base so that a crash never leaves part of it
// under the real names: each is written under a temporary name beside it
// (NAME.draynew, or NAME.draynewN while that one is taken), then linked to
// its real name, never replacing anything, the last of files (the guard,
// whose presence makes the base) last; the temporary names are removed.
// A companion that is there already is kept when empty (left by a creator
// that stopped) or keep_existing, and refused otherwise (kDamaged: not
// written over). When the
// guard is there already (before or by the time it is linked), another
// creator won: *raced is set and nothing more is done. With sync the files
// and the directory are flushed before the guard is linked and after.
Status CreateLinked(Env* env, std::span<const NewFile> files, bool sync,
                    bool* raced);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_FILE_SET_H_
