#include "support/file_set.h"

#include "support/coding.h"
#include "support/file_access.h"
#include "support/journal.h"

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

namespace {

constexpr int kTemporaryTries = 100;

// Writes bytes into a new file beside name; *temp receives its name.
Status WriteTemporary(Env* env, const NewFile& file, bool sync, std::string* temp) {
  std::unique_ptr<File> out;
  IoResult code = io::kAccessDenied;
  for (int n = 0; n < kTemporaryTries; ++n) {
    *temp = file.name + ".draynew" + (n == 0 ? "" : std::to_string(n));
    bool exists = false;
    code = env->Open(*temp, OpenMode::kCreateExclusive | OpenMode::kNoFollow, &out, &exists);
    if (code == io::kOk || !exists) break;
  }
  if (code != io::kOk) {
    temp->clear();
    return Status::FromIo(code, "creating a temporary file for " + file.name);
  }
  if (!file.bytes.empty()) code = RetryWrite(*out, 0, file.bytes);
  if (code == io::kOk && sync) code = env->Sync(*out);
  if (code == io::kOk) code = out->Close();
  return Status::FromIo(code, "writing a temporary file for " + file.name);
}

// Links temp to name. A name already there is kept when empty or when the
// guard exists (*raced); otherwise refused.
Status LinkInPlace(Env* env, const std::string& temp, const NewFile& file,
                   const std::string& guard, bool* raced) {
  const std::string& name = file.name;
  bool exists = false;
  const IoResult code = env->Link(temp, name, &exists);
  if (code == io::kOk) return Status::Ok();
  if (!exists) return Status::FromIo(code, "linking " + name);
  if (name == guard || env->Exists(guard)) {
    *raced = true;
    return Status::Ok();
  }
  uint64_t size = 0;
  if (file.keep_existing ||
      (env->GetFileSize(name, &size) == io::kOk && size == 0)) {
    return Status::Ok();
  }
  return Status::Damaged(name + " exists without the base's header file; not written over");
}

}  // namespace

Status CreateLinked(Env* env, std::span<const NewFile> files, bool sync, bool* raced) {
  *raced = false;
  if (files.empty()) return Status::Ok();
  const std::string& guard = files.back().name;
  if (env->Exists(guard)) {
    *raced = true;
    return Status::Ok();
  }
  std::vector<std::string> temps(files.size());
  Status s;
  for (size_t i = 0; i < files.size() && s.ok(); ++i) {
    s = WriteTemporary(env, files[i], sync, &temps[i]);
  }
  const std::string dir = DirectoryOf(guard);
  if (s.ok() && sync) s = Status::FromIo(env->SyncDir(dir), "flushing " + dir);
  for (size_t i = 0; i < files.size() && s.ok() && !*raced; ++i) {
    s = LinkInPlace(env, temps[i], files[i], guard, raced);
  }
  for (const std::string& temp : temps) {
    if (!temp.empty()) env->Remove(temp);
  }
  if (s.ok() && sync) s = Status::FromIo(env->SyncDir(dir), "flushing " + dir);
  return s;
}

}  // namespace drayline
