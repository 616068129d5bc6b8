// The board's record files: reading them for the posting command and for
// programs that walk a board's bases, and writing a new board.

#include "post/board_files.h"

#include <algorithm>
#include <vector>

#include "support/file_access.h"

namespace drayline {

namespace {

class FileOfRecords final : public BoardRecordFile {
 public:
  FileOfRecords(std::unique_ptr<File> file, std::string name)
      : file_(std::move(file)), name_(std::move(name)) {}

  Status CountRecords(size_t record_size, int64_t* count) override {
    uint64_t size = 0;
    if (IoResult code = file_->Size(&size)) {
      return Status::FromIo(code, "finding the size of " + name_);
    }
    *count = static_cast<int64_t>(size / record_size);
    return Status::Ok();
  }

  Status ReadRecord(int64_t n, std::span<uint8_t> out) override {
    if (n < 0) return Status::InvalidArgument("record number below 0");
    const uint64_t offset = static_cast<uint64_t>(n) * out.size();
    return Status::FromIo(ReadExact(*file_, offset, out), "reading " + name_);
  }

  Status Close() override {
    return Status::FromIo(file_->Close(), "closing " + name_);
  }

 private:
  std::unique_ptr<File> file_;
  std::string name_;
};

// dir with a separator at its end ("" stays "": the current directory).
std::string AsDirectory(std::string_view dir) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

// path below root, unless it is absolute.
std::string Below(const std::string& root, const std::string& path) {
  return !path.empty() && path[0] == '/' ? path : root + path;
}

Status ReadBaseRecords(Env* env, const std::string& name,
                       std::vector<MessageBaseRecord>* bases) {
  Status s;
  std::unique_ptr<BoardRecordFile> file = OpenBoardRecordFile(env, name, &s);
  if (file == nullptr) return s;
  int64_t count = 0;
  s = file->CountRecords(kMessageBaseRecordSize, &count);
  bases->assign(s.ok() ? static_cast<size_t>(count) : 0, MessageBaseRecord());
  for (int64_t n = 0; s.ok() && n < count; ++n) {
    s = file->ReadBaseRecord(n, &(*bases)[static_cast<size_t>(n)]);
  }
  return s.ok() ? file->Close() : s;
}

}  // namespace

std::unique_ptr<BoardRecordFile> OpenBoardRecordFile(Env* env,
                                                     const std::string& name,
                                                     Status* status) {
  std::unique_ptr<File> file;
  if (IoResult code = RetryOpen(env, name, OpenMode::kReadWrite, &file)) {
    *status = Status::FromIo(code, "opening " + name);
    return nullptr;
  }
  *status = Status::Ok();
  return std::make_unique<FileOfRecords>(std::move(file), name);
}

std::unique_ptr<BoardRecordFile> BoardRecordFile::Open(const std::string& name,
                                                       Status* status) {
  return OpenBoardRecordFile(Env::Default(), name, status);
}

Status ReadBoard(std::string_view root, Board* board) {
  Env* env = Env::Default();
  const std::string dir = AsDirectory(root);
  const std::string system_name = dir + kSystemRecordFileName;
  Status s;
  std::unique_ptr<BoardRecordFile> file = OpenBoardRecordFile(env, system_name, &s);
  if (file == nullptr) return s;
  s = file->ReadSystemRecord(&board->system);
  if (s.ok()) s = file->Close();
  if (!s.ok()) return s;
  return ReadBaseRecords(env, Below(dir, board->system.DataPath) + kBaseRecordsFileName,
                         &board->bases);
}

// ---- A new board ----

namespace {

// A failure of the file layer, in words that name what was being made.
Status MakingFailed(IoResult code, const std::string& what) {
  return Status(Status::FromIo(code).code(), code,
                what + " (I/O result " + std::to_string(code) + ")");
}

Status MakeDirectory(Env* env, const std::string& name) {
  if (env->Exists(name)) return Status::Ok();
  if (IoResult code = env->CreateDir(name)) {
    return MakingFailed(code, "cannot create directory " + name);
  }
  return Status::Ok();
}

// Writes a new file; one that exists is never written over.
Status WriteNewFile(Env* env, const std::string& name,
                    std::span<const uint8_t> bytes) {
  std::unique_ptr<File> file;
  bool exists = false;
  IoResult code = env->Open(name, OpenMode::kCreateExclusive, &file, &exists);
  if (code == io::kOk && (code = RetryWrite(*file, 0, bytes)) == io::kOk) {
    code = file->Close();
  }
  if (code == io::kOk) return Status::Ok();
  if (exists) {
    return Status(StatusCode::kInvalidArgument, code,
                  "cannot write " + name + ": it exists already");
  }
  return MakingFailed(code, "cannot write " + name);
}

// The directories a board needs, in order: its root, its data directory
// and each base's directory, without the separator at their ends.
std::vector<std::string> BoardDirectories(const std::string& root,
                                          const SystemConfigRecord& system,
                                          std::span<const MessageBaseRecord> bases) {
  auto trimmed = [](std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  };
  std::vector<std::string> dirs = {root, trimmed(Below(root, system.DataPath))};
  for (const MessageBaseRecord& base : bases) {
    std::string dir = trimmed(Below(root, base.BasePath));
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  }
  return dirs;
}

Status CreateBoardOn(Env* env, const std::string& root,
                     const SystemConfigRecord& system,
                     std::span<const MessageBaseRecord> bases) {
  const std::string system_name = root + kSystemRecordFileName;
  const std::string bases_name =
      Below(root, system.DataPath) + kBaseRecordsFileName;
  for (const std::string& name : {system_name, bases_name}) {
    if (env->Exists(name)) {
      return Status(StatusCode::kInvalidArgument, io::kAccessDenied,
                    name + " exists already; not overwriting a board");
    }
  }
  for (const std::string& dir : BoardDirectories(root, system, bases)) {
    if (dir.empty()) continue;  // the current directory
    if (Status s = MakeDirectory(env, dir); !s.ok()) return s;
  }
  std::vector<uint8_t> system_bytes(kSystemConfigRecordSize);
  EncodeSystemConfigRecord(system, system_bytes);
  std::vector<uint8_t> base_bytes(bases.size() * kMessageBaseRecordSize);
  for (size_t i = 0; i < bases.size(); ++i) {
    EncodeMessageBaseRecord(bases[i], std::span(base_bytes).subspan(
                                          i * kMessageBaseRecordSize));
  }
  Status s = WriteNewFile(env, system_name, system_bytes);
  return s.ok() ? WriteNewFile(env, bases_name, base_bytes) : s;
}

}  // namespace

Status CreateBoard(std::string_view root, const SystemConfigRecord& system,
                   std::span<const MessageBaseRecord> bases) {
  return CreateBoardOn(Env::Default(), AsDirectory(root), system, bases);
}

}  // namespace drayline
