// draybase import BASE FILE [--to jam|squish] [--lossy] [--json]: the
// messages of an export (transfer_json.h) stored into BASE as new
// messages, created when missing (in --to's format, else the export's).
// Links and last-read pointers follow the new numbers. A message of the
// other format is converted, and what it loses is listed: then nothing is
// stored unless --lossy. All messages are one change: stored whole or not
// at all. Exit status 0 done, 1 failed or refused, 2 a usage error.

#include <cstdio>
#include <memory>

#include "draybase/output.h"

#include "draybase/commands.h"
#include "draybase/transfer_run.h"

namespace draybase {
namespace {

using drayline::BaseFormat;

// The lines of an export file. The base line gives the format; the
// last-read line is kept when a pass meets it.
class FileFeed final : public MessageFeed {
 public:
  explicit FileFeed(std::string name) : name_(std::move(name)) {}

  bool Start() override {
    error_.clear();
    last_reads_.clear();
    line_number_ = 0;
    in_.reset(std::fopen(name_.c_str(), "rb"));
    if (in_ == nullptr) return Fail("cannot open " + name_);
    JsonValue v;
    if (!ReadLine(&v)) return error_.empty() ? Fail("no base line") : false;
    std::string why;
    return ReadBaseLine(v, &format_, &settings_, &why) || Fail(why);
  }

  bool Next(drayline::ExportedMessage* m) override {
    JsonValue v;
    std::string why;
    while (ReadLine(&v)) {
      if (v.Find("lastread") != nullptr) {
        if (!ReadLastReadLine(v, &last_reads_, &why)) return Fail(why);
        continue;
      }
      return ReadMessageLine(v, m, &why) || Fail(why);
    }
    return false;
  }

  const std::string& error() const override { return error_; }
  BaseFormat format() const override { return format_; }
  drayline::BaseSettings settings() const override { return settings_; }
  const std::vector<drayline::LastReadValue>& last_reads() const override { return last_reads_; }

 private:
  // The next non-empty line as JSON; false at the end or on an error.
  bool ReadLine(JsonValue* v) {
    std::string line;
    while (error_.empty() && GetLine(&line)) {
      ++line_number_;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::string why;
      std::optional<JsonValue> parsed = ParseJson(line, &why);
      if (!parsed || !parsed->is(JsonValue::Type::kObject)) return Fail(why.empty() ? "not an object" : why);
      *v = std::move(*parsed);
      return true;
    }
    if (error_.empty() && std::ferror(in_.get()) != 0) Fail("cannot read " + name_);
    return false;
  }
  // The next line, without its newline; false at the end of the file. The
  // file is this object's alone, so its reads need not lock it.
  bool GetLine(std::string* line) {
    line->clear();
    int c;
    while ((c = getc_unlocked(in_.get())) != EOF && c != '\n') line->push_back(static_cast<char>(c));
    return c == '\n' || !line->empty();
  }
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = name_ + ":" + std::to_string(line_number_) + ": " + why;
    return false;
  }

  std::string name_;
  std::unique_ptr<std::FILE, Closer> in_;
  size_t line_number_ = 0;
  std::string error_;
  BaseFormat format_{};
  drayline::BaseSettings settings_;
  std::vector<drayline::LastReadValue> last_reads_;
};

}  // namespace

int RunImport(CommandArgs args) {
  TransferOptions opts;
  if (!ParseTransferOptions("import", args, 2, 2, {"--to", "--lossy", "--json"}, &opts)) {
    return kExitUsage;
  }
  FileFeed feed(opts.positional[1]);
  if (!feed.Start()) {
    Err() << "draybase import: " << feed.error() << "\n";
    return kExitUsage;
  }
  return RunTransfer("import", opts.positional[0], feed, opts);
}

}  // namespace draybase
