#include "fault_env.h"

#include <algorithm>

namespace drayline {

namespace {

class FaultFile final : public File {
 public:
  FaultFile(std::unique_ptr<File> base, std::string name, FaultEnv* env)
      : base_(std::move(base)), name_(std::move(name)), env_(env) {}

  IoResult Read(uint64_t offset, std::span<uint8_t> buf,
                size_t* done) override {
    *done = 0;
    if (IoResult code = env_->OnRead(name_)) return code;
    return base_->Read(offset, buf, done);
  }
  IoResult ReadSequential(std::span<uint8_t> buf, size_t* done) override {
    *done = 0;
    if (IoResult code = env_->OnRead(name_)) return code;
    return base_->ReadSequential(buf, done);
  }
  IoResult Write(uint64_t offset, std::span<const uint8_t> data) override {
    uint64_t allowed = offset + data.size();
    IoResult code = env_->OnWrite(name_, offset + data.size(), &allowed);
    if (code == io::kOk) return base_->Write(offset, data);
    if (allowed > offset) {  // a full disk takes what fits first
      base_->Write(offset, data.first(static_cast<size_t>(allowed - offset)));
    }
    return code;
  }
  IoResult Size(uint64_t* size) override { return base_->Size(size); }
  IoResult Truncate(uint64_t size) override { return base_->Truncate(size); }
  IoResult Lock(uint64_t offset, uint64_t length) override {
    if (IoResult code = env_->OnLock(name_)) return code;
    return base_->Lock(offset, length);
  }
  IoResult Unlock(uint64_t offset, uint64_t length) override {
    return base_->Unlock(offset, length);
  }
  IoResult Close() override { return base_->Close(); }
  IoResult Sync() override { return base_->Sync(); }

 private:
  std::unique_ptr<File> base_;
  std::string name_;
  FaultEnv* env_;
};

bool Matches(const FaultEnv::Rule& rule, const std::string& name) {
  return name.find(rule.name_part) != std::string::npos;
}

// Consumes one use of a counted rule; true when it fires.
bool Fire(FaultEnv::Rule& rule) {
  if (rule.countdown == 0) return false;
  if (rule.countdown > 0) --rule.countdown;
  return true;
}

}  // namespace

void FaultEnv::FailWrite(const std::string& name_part, int nth, IoResult code,
                         bool sticky) {
  rules_.push_back({Rule::kWrite, name_part, code, nth, sticky, 0});
}
void FaultEnv::LimitSize(const std::string& name_part, uint64_t limit,
                         IoResult code) {
  rules_.push_back({Rule::kSize, name_part, code, -1, true, limit});
}
void FaultEnv::FailOpen(const std::string& name_part, IoResult code,
                        int times) {
  rules_.push_back({Rule::kOpen, name_part, code, times, false, 0});
}
void FaultEnv::FailRead(const std::string& name_part, IoResult code,
                        int times) {
  rules_.push_back({Rule::kRead, name_part, code, times, false, 0});
}
void FaultEnv::FailLock(const std::string& name_part, IoResult code,
                        int times) {
  rules_.push_back({Rule::kLock, name_part, code, times, false, 0});
}
void FaultEnv::Clear() {
  rules_.clear();
  free_space_ = UINT64_MAX;
}

IoResult FaultEnv::FreeSpace(const std::string& dir, uint64_t* bytes) {
  const IoResult code = EnvWrapper::FreeSpace(dir, bytes);
  if (code == io::kOk) *bytes = std::min(*bytes, free_space_);
  return code;
}

int FaultEnv::WritesTo(const std::string& name_part) const {
  int n = 0;
  for (const std::string& name : write_log_) {
    if (name.find(name_part) != std::string::npos) ++n;
  }
  return n;
}

IoResult FaultEnv::Open(const std::string& name, OpenMode mode,
                        std::unique_ptr<File>* file, bool* exists_out) {
  for (Rule& rule : rules_) {
    if (rule.kind == Rule::kOpen && Matches(rule, name) && Fire(rule)) {
      if (exists_out != nullptr) *exists_out = false;
      return rule.code;
    }
  }
  std::unique_ptr<File> base;
  IoResult code = target()->Open(name, mode, &base, exists_out);
  if (code == io::kOk) {
    *file = std::make_unique<FaultFile>(std::move(base), name, this);
  }
  return code;
}

IoResult FaultEnv::OpenTemporary(const std::string& dir,
                                 std::unique_ptr<File>* file) {
  const std::string name = (dir.empty() ? "." : dir) + "/<temporary>";
  for (Rule& rule : rules_) {
    if (rule.kind == Rule::kOpen && Matches(rule, name) && Fire(rule)) {
      return rule.code;
    }
  }
  std::unique_ptr<File> base;
  IoResult code = target()->OpenTemporary(dir, &base);
  if (code == io::kOk) {
    *file = std::make_unique<FaultFile>(std::move(base), name, this);
  }
  return code;
}

IoResult FaultEnv::OnWrite(const std::string& name, uint64_t end_offset,
                           uint64_t* allowed_end) {
  write_log_.push_back(name);
  for (Rule& rule : rules_) {
    if (!Matches(rule, name)) continue;
    if (rule.kind == Rule::kWrite) {
      if (rule.countdown > 1) {
        --rule.countdown;
      } else if (rule.countdown == 1 || rule.sticky) {
        rule.countdown = 0;
        *allowed_end = 0;
        return rule.code;
      }
    } else if (rule.kind == Rule::kSize && end_offset > rule.limit) {
      *allowed_end = rule.limit;
      return rule.code;
    }
  }
  return io::kOk;
}

IoResult FaultEnv::OnRead(const std::string& name) {
  for (Rule& rule : rules_) {
    if (rule.kind == Rule::kRead && Matches(rule, name) && Fire(rule)) {
      return rule.code;
    }
  }
  return io::kOk;
}

IoResult FaultEnv::OnLock(const std::string& name) {
  ++locks_attempted_;
  for (Rule& rule : rules_) {
    if (rule.kind == Rule::kLock && Matches(rule, name) && Fire(rule)) {
      return rule.code;
    }
  }
  return io::kOk;
}

}  // namespace drayline
