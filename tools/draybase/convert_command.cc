// draybase convert SRC DST --to jam|squish [--lossy] [--json]: a new base
// DST holding every message of SRC, as export piped into import but in
// memory: dates, attributes, addresses, control information and last-read
// pointers kept. DST must not exist; SRC must be sound. What the target
// format cannot hold is listed message by message, and then nothing is
// stored unless --lossy. Exit status 0 done, 1 failed or refused, 2 a
// usage error.

#include "draybase/output.h"

#include "draybase/commands.h"
#include "draybase/transfer_run.h"

namespace draybase {
namespace {

using drayline::BaseFormat;

class SourceFeed final : public MessageFeed {
 public:
  explicit SourceFeed(std::string path) : path_(std::move(path)) {}

  bool Start() override {
    error_.clear();
    drayline::Status s;
    source_ = drayline::MessageSource::Open(path_, &s);
    if (source_ != nullptr) s = source_->LastReads(&last_reads_);
    if (!s.ok()) error_ = path_ + ": " + s.text();
    return s.ok();
  }
  bool Next(drayline::ExportedMessage* m) override {
    if (source_->Next(m)) return true;
    if (!source_->status().ok()) error_ = path_ + ": " + source_->status().text();
    return false;
  }
  const std::string& error() const override { return error_; }
  BaseFormat format() const override { return source_->format(); }
  drayline::BaseSettings settings() const override { return source_->settings(); }
  const std::vector<drayline::LastReadValue>& last_reads() const override { return last_reads_; }

 private:
  std::string path_;
  std::unique_ptr<drayline::MessageSource> source_;
  std::string error_;
  std::vector<drayline::LastReadValue> last_reads_;
};

}  // namespace

int RunConvert(CommandArgs args) {
  TransferOptions opts;
  if (!ParseTransferOptions("convert", args, 2, 2, {"--to", "--lossy", "--json"}, &opts)) {
    return kExitUsage;
  }
  if (!opts.to) {
    Err() << "draybase convert: --to jam|squish is required\n";
    return kExitUsage;
  }
  const std::string& src = opts.positional[0];
  const std::string& dst = opts.positional[1];
  drayline::Status s;
  if (drayline::MessageSource::Open(dst, &s) != nullptr || s.code() != drayline::StatusCode::kNotFound) {
    Err() << "draybase convert: " << dst << " exists already\n";
    return kExitUsage;
  }
  int status = kExitOk;
  if (!SourceIsSound(src, &status)) return status;
  SourceFeed feed(src);
  if (!feed.Start()) {
    Err() << "draybase convert: " << feed.error() << "\n";
    return kExitFailed;
  }
  return RunTransfer("convert", dst, feed, opts);
}

}  // namespace draybase
