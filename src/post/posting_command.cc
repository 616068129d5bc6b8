#include "post/posting_command.h"

#include <functional>
#include <utility>

#include "drayline/board.h"
#include "msgbase/factory.h"
#include "post/board_files.h"
#include "post/command_output.h"
#include "post/info_request.h"
#include "post/posting_run.h"
#include "post/runtime_error.h"
#include "post/text_reader.h"
#include "support/clock.h"
#include "support/strings.h"

namespace drayline {

namespace {

// One run of the command. Each step answers true to go on, or false when
// the run ends; status_ then holds the exit status.
class PostingRun {
 public:
  PostingRun(std::span<const std::string> args, CommandOutput& out, Env* env,
             const BaseFactory& factory, PostingProgress* progress)
      : args_(args), out_(out), env_(env), factory_(factory), progress_(progress) {}

  int Run();

 private:
  void PrintBanner();
  bool ReadSystemRecord();
  bool CheckArguments();
  bool ReadBaseRecord();
  bool CheckNetType();
  bool OpenText();
  bool ConstructBase();
  bool OpenOrCreateBase();
  bool ShowProgress();
  void ComposeHeader();
  bool AddText();
  int Store();

  // Prints a refusal line; the run ends with status 0.
  bool Refuse(const std::string& line);
  // Prints a line that ends the run with a non-zero status.
  bool Stop(const std::string& line, int status);
  // Reports a runtime error of one of the command's own steps.
  bool Fail(IoResult code, std::string_view step);
  // The progress line's state changes, told to progress_ when there is one.
  void OpenLine();
  void CloseLine(const std::function<void()>& print_ending);

  const std::span<const std::string> args_;
  CommandOutput& out_;
  Env* const env_;
  const BaseFactory& factory_;
  PostingProgress* const progress_;
  int status_ = kExitOk;
  bool line_open_ = false;  // "Posting message ... " awaits its ending

  SystemConfigRecord system_;
  MessageBaseRecord record_;
  std::unique_ptr<TextLineReader> text_;
  std::unique_ptr<MessageBase> base_;
};

int PostingRun::Run() {
  PrintBanner();
  // Answered before the board is looked for: they need no board.
  if (AnswerInfoRequest(args_, out_)) return kExitOk;
  if (!ReadSystemRecord() || !CheckArguments() || !ReadBaseRecord() ||
      !CheckNetType() || !OpenText() || !ConstructBase() ||
      !OpenOrCreateBase() || !ShowProgress()) {
    return status_;
  }
  ComposeHeader();
  if (!AddText()) return status_;
  return Store();
}

void PostingRun::PrintBanner() {
  // Written with the first line that ends the run or with the progress
  // line, in one write.
  out_ << "\n"
          "DRAYLINE v1.2 - posts a text file into a message base\n"
          "\n"
          "Compatible with Tarvik BBS v1.07.2\n"
          "\n";
}

bool PostingRun::ReadSystemRecord() {
  // Opened for read and write, as the board's programs do: a sysop who may
  // not write the board's files is not running from the board's root.
  Status s;
  std::unique_ptr<BoardRecordFile> file =
      OpenBoardRecordFile(env_, kSystemRecordFileName, &s);
  if (file == nullptr) {
    return Refuse("DRAYLINE must be ran from your root TRVK directory!");
  }
  if (s = file->ReadSystemRecord(&system_); !s.ok()) {
    return Fail(s.io_result(), "reading tarvik.dat");
  }
  if (s = file->Close(); !s.ok()) return Fail(s.io_result(), "closing tarvik.dat");
  return true;
}

bool PostingRun::CheckArguments() {
  if (args_.size() == 5) return true;
  return Refuse(std::string(kUsageLine));
}

bool PostingRun::ReadBaseRecord() {
  // The name is never shortened: a cut name would open some other file.
  const std::string name = system_.DataPath + kBaseRecordsFileName;
  Status s;
  std::unique_ptr<BoardRecordFile> file = OpenBoardRecordFile(env_, name, &s);
  if (file == nullptr) {
    return Refuse("Unable to locate message base definitions.");
  }
  int64_t count = 0;
  if (s = file->CountRecords(kMessageBaseRecordSize, &count); !s.ok()) {
    return Fail(s.io_result(), "finding the size of mbases.dat");
  }
  // Records are numbered from 0, so the count itself is out of range too.
  const int32_t n = StrToInt(args_[0]);
  if (n < 0 || n >= count) return Refuse("Invalid base number: " + args_[0]);
  if (s = file->ReadBaseRecord(n, &record_); !s.ok()) {
    return Fail(s.io_result(), "reading mbases.dat");
  }
  if (s = file->Close(); !s.ok()) return Fail(s.io_result(), "closing mbases.dat");
  return true;
}

bool PostingRun::CheckNetType() {
  if (record_.NetType != kNetMail) return true;
  return Refuse("DRAYLINE does not support netmail posts.");
}

bool PostingRun::OpenText() {
  if (TextLineReader::Open(env_, args_[4], &text_) == io::kOk) return true;
  return Refuse("Unable to open text file: " + args_[4]);
}

bool PostingRun::ConstructBase() {
  const uint8_t format = record_.BaseFormat;
  if (format != kFormatJam && format != kFormatSquish) {
    return Stop("Unknown message base format " + std::to_string(format) +
                    " in mbases.dat.",
                kExitUnknownFormat);
  }
  base_ = factory_(static_cast<BaseFormat>(format), env_);
  if (base_ != nullptr) {
    ChangeOptions options;
    options.observer = progress_;
    base_->SetChangeOptions(options);
    return true;
  }
  return Stop(format == kFormatSquish
                  ? "Unable to construct the Squish message base."
                  : "Unable to construct the JAM message base.",
              kExitFormatUnavailable);
}

bool PostingRun::OpenOrCreateBase() {
  base_->SetPath(record_.BasePath + record_.BaseFileName);
  if (base_->OpenBase()) return true;
  // A base that was created but still does not open cannot store the
  // message whole: say so instead of composing into it.
  if (base_->CreateBase(record_.MaxMsgs, record_.MaxAge) &&
      base_->OpenBase()) {
    return true;
  }
  return Refuse("Unable to open/create message base.");
}

bool PostingRun::ShowProgress() {
  // Shown at once: the store may wait for another program's lock.
  out_ << "Posting message ... " << kFlush;
  OpenLine();
  if (!out_.ok()) return Fail(io::kDiskWriteError, "writing to standard output");
  return true;
}

void PostingRun::ComposeHeader() {
  base_->StartNewMessage();
  base_->SetLocal(true);
  switch (record_.NetType) {
    case kNetLocal:
      base_->SetMailType(MailType::Local);
      break;
    case kNetEcho:
    case kNetEchoOther:
      base_->SetMailType(MailType::Echo);
      break;
    default:  // other kinds keep the base's own setting
      break;
  }
  base_->SetPrivate(record_.PostType == kPostPrivate);
  // One reading of the clock for both: two readings can straddle midnight
  // and stamp the post with the old date and the new time.
  const PackedDateTime now = CurrentPackedDateTime(env_);
  base_->SetDate(DateString(now, kMonthDayYear));
  base_->SetTime(TimeString(now, false));
  base_->SetFrom(Fit(UnderscoresToSpaces(args_[1])));
  base_->SetTo(Fit(UnderscoresToSpaces(args_[2])));
  base_->SetSubject(Fit(UnderscoresToSpaces(args_[3])));
}

bool PostingRun::AddText() {
  std::string line;
  for (int lines = 0; lines < kMaxTextLines; ++lines) {
    bool at_end = false;
    if (IoResult code = text_->AtEnd(&at_end)) {
      return Fail(code, "testing the end of the text file");
    }
    if (at_end) break;
    if (IoResult code = text_->ReadLine(&line)) {
      return Fail(code, "reading the text file");
    }
    if (line.size() > kMaxLineLength) line.resize(kMaxLineLength);
    base_->AddTextLine(line);
  }
  if (IoResult code = text_->Close()) {
    return Fail(code, "closing the text file");
  }
  return true;
}

int PostingRun::Store() {
  const uint16_t code = base_->WriteMessage();
  // Taken before CloseBase, which reports a status of its own.
  const Status why = base_->LastStatus();
  base_->CloseBase();
  base_->Done();
  base_.reset();
  if (code != 0) {
    // Never report a message as stored when it was not.
    // A base that keeps no words for the failure still has those of its
    // number.
    CloseLine([&] {
      out_ << "FAILED\n"
           << "Message base error " << std::to_string(code) << ".\n"
           << (why.ok() ? Status::FromIo(code).text() : why.text()) << kEndLine;
    });
    return kExitStoreFailed;
  }
  CloseLine([&] { out_ << "DONE" << kEndLine; });
  if (!out_.ok()) {
    return ReportRuntimeError(out_, io::kDiskWriteError,
                              "writing to standard output");
  }
  return kExitOk;
}

bool PostingRun::Refuse(const std::string& line) {
  return Stop(line, kExitOk);
}

bool PostingRun::Stop(const std::string& line, int status) {
  out_ << line << kEndLine;
  status_ = status;
  return false;
}

bool PostingRun::Fail(IoResult code, std::string_view step) {
  if (!line_open_) {
    status_ = ReportRuntimeError(out_, code, step);
    return false;
  }
  CloseLine([&] {
    out_ << "\n";
    status_ = ReportRuntimeError(out_, code, step);
  });
  return false;
}

void PostingRun::OpenLine() {
  line_open_ = true;
  if (progress_ != nullptr) progress_->LineShown();
}

void PostingRun::CloseLine(const std::function<void()>& print_ending) {
  line_open_ = false;
  if (progress_ != nullptr) progress_->LineClosing();
  print_ending();
  if (progress_ != nullptr) progress_->LineClosed();
}

}  // namespace

std::unique_ptr<MessageBase> NewMessageBaseForFormat(BaseFormat format,
                                                     Env* env) {
  return NewMessageBase(format, env);
}

std::string UnderscoresToSpaces(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '_') c = ' ';
  }
  return out;
}

int RunPostingCommand(std::span<const std::string> args, Env* env,
                      const BaseFactory& factory, PostingProgress* progress) {
  if (env == nullptr) env = Env::Default();
  CommandOutput out(env);
  return PostingRun(args, out, env, factory, progress).Run();
}

int RunPostingCommand(std::span<const std::string> args,
                      PostingProgress* progress) {
  return RunPostingCommand(args, Env::Default(), NewMessageBaseForFormat,
                           progress);
}

}  // namespace drayline
