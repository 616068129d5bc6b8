#include "support/file_set.h"

#include "support/coding.h"
#include "support/file_access.h"

namespace drayline {

uint64_t SizeOrAbsent(File* file) {
  uint64_t size = 0;
  if (file == nullptr || file->Size(&size) != io::kOk) return kAbsentFile;
  return size;
}

Status FingerprintFiles(Env* env, std::span<const NamedFile> files,
                        const std::string& journal_path, File& head,
                        std::string_view head_name, size_t head_size,
                        std::vector<uint8_t>* out) {
  out->clear();
  for (const NamedFile& named : files) {
    uint8_t size[8];
    const uint64_t value = SizeOrAbsent(named.file);
    EncodeFixed32(size, static_cast<uint32_t>(value));
    EncodeFixed32(size + 4, static_cast<uint32_t>(value >> 32));
    out->insert(out->end(), size, size + 8);
  }
  out->push_back(env->Exists(journal_path) ? 1 : 0);
  std::vector<uint8_t> bytes(head_size);
  size_t done = 0;
  if (IoResult r = head.Read(0, bytes, &done); r != io::kOk) {
    return Status::FromIo(r, "reading " + std::string(head_name));
  }
  out->insert(out->end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(done));
  return Status::Ok();
}

Status ReadNamedFile(std::span<const NamedFile> files, std::string_view name,
                     uint64_t offset, std::span<uint8_t> out) {
  for (const NamedFile& named : files) {
    if (named.name != name || named.file == nullptr) continue;
    const IoResult r = ReadExact(*named.file, offset, out);
    return r == io::kOk ? Status::Ok()
                        : Status::FromIo(r, "reading " + std::string(name));
  }
  return Status::InvalidArgument("no such file of the base: " + std::string(name));
}

Status OpenIfPresent(Env* env, const std::string& name, std::string_view shown,
                     std::unique_ptr<File>* file) {
  if (!env->Exists(name)) return Status::Ok();
  const IoResult r = env->Open(name, OpenMode::kReadOnly, file);
  return r == io::kOk ? Status::Ok()
                      : Status::FromIo(r, "opening " + std::string(shown));
}

Status OpenLockFile(Env* env, const std::string& name, std::string_view shown,
                    std::unique_ptr<File>* file, bool* lockable) {
  *lockable = true;
  IoResult r = env->Open(name, OpenMode::kReadWrite, file);
  if (r == io::kAccessDenied) {
    *lockable = false;
    r = env->Open(name, OpenMode::kReadOnly, file);
  }
  return r == io::kOk ? Status::Ok()
                      : Status::FromIo(r, "opening " + std::string(shown));
}

}  // namespace drayline
