#include "draybase/text_decoding.h"

#include <algorithm>
#include "draybase/output.h"
#include <unordered_map>
#include <utility>

#include "drayline/jam_records.h"
#include "drayline/squish_records.h"

namespace draybase {

using drayline::Charset;
using drayline::LocalDateTime;

// What a message's records hold beside its header fields.
struct StoredExtras {
  LocalDateTime written, processed;
  std::string control;  // control lines, each as "\x01" NAME ": " VALUE CR
};

struct MessageDecoder::Records {
  virtual ~Records() = default;
  // The extras of message number; false when its records cannot be read.
  virtual bool Read(int32_t number, StoredExtras* out) = 0;
};

namespace {

// A header's subfield kind that holds one control line without its 1.
constexpr uint16_t kJamKludge = 2000;

class JamExtras final : public MessageDecoder::Records {
 public:
  explicit JamExtras(std::unique_ptr<drayline::JamRecordReader> reader)
      : reader_(std::move(reader)) {}

  bool Read(int32_t number, StoredExtras* out) override {
    drayline::JamMessageHeaderRecord h;
    if (!Header(number, &h)) return false;
    // 0 is no time at all, not the first second of 1970.
    if (h.date_written != 0) out->written = drayline::JamTime(h.date_written);
    if (h.date_processed != 0) out->processed = drayline::JamTime(h.date_processed);
    for (const drayline::JamSubfieldRecord& sf : h.subfields) {
      if (sf.lo_id == kJamKludge) out->control += "\x01" + sf.data + "\r";
    }
    return true;
  }

 private:
  bool Header(int32_t number, drayline::JamMessageHeaderRecord* h) {
    const int64_t at = int64_t{number} - reader_->base_header().base_msg_num;
    std::vector<drayline::JamIndexRecord> index;
    return at >= 0 && static_cast<uint64_t>(at) < reader_->index_count() &&
           reader_->ReadIndex(static_cast<uint64_t>(at), 1, &index).ok() && !index.empty() &&
           !index[0].deleted() && reader_->ReadMessageHeader(index[0].hdr_offset, h).ok();
  }

  std::unique_ptr<drayline::JamRecordReader> reader_;
};

class SquishExtras final : public MessageDecoder::Records {
 public:
  explicit SquishExtras(std::unique_ptr<drayline::SquishRecordReader> reader)
      : reader_(std::move(reader)) {
    // Numbers are the index's uids, so the index is read once, whole.
    std::vector<drayline::SquishIndexRecord> index;
    if (!reader_->ReadIndex(0, reader_->index_count(), &index).ok()) return;
    for (const drayline::SquishIndexRecord& entry : index) {
      frames_.emplace(entry.uid, entry.frame_offset);
    }
  }

  bool Read(int32_t number, StoredExtras* out) override {
    const auto found = frames_.find(number);
    drayline::SquishFrameRecord frame;
    if (found == frames_.end() || !reader_->ReadFrame(found->second, &frame).ok() ||
        !frame.message_read) {
      return false;
    }
    out->written = drayline::SquishTime(frame.message.date_written);
    out->processed = drayline::SquishTime(frame.message.date_arrived);
    out->control = frame.control;
    return true;
  }

 private:
  std::unique_ptr<drayline::SquishRecordReader> reader_;
  std::unordered_map<int32_t, int64_t> frames_;
};

}  // namespace

bool ParseCharsetOption(std::string_view command, const std::optional<std::string>& name,
                        std::optional<Charset>* out) {
  if (!name) return true;
  *out = drayline::CharsetFromName(*name);
  if (*out) return true;
  Err() << "draybase " << command << ": unknown character set " << *name
            << " (CP437, CP850, CP866, LATIN-1, ISO-8859-5, UTF-8 or raw)\n";
  return false;
}

std::vector<std::string> WrapUtf8(std::string_view text, size_t width) {
  width = std::max<size_t>(width, 1);  // a piece of no character never ends
  std::vector<std::string> lines;
  for (std::string line : drayline::SplitLines(text)) {
    std::erase_if(line, [](char c) { return c == '\n' || c == '\0'; });
    std::string_view rest = line;
    bool continued = false;
    do {
      if (continued && rest.starts_with(' ')) rest.remove_prefix(1);
      std::string_view piece = drayline::Utf8Prefix(rest, width);
      const size_t space = piece.rfind(' ');
      if (piece.size() < rest.size() && space != std::string_view::npos) {
        piece = piece.substr(0, space + 1);  // the space stays with its line
      }
      lines.emplace_back(piece);
      rest.remove_prefix(piece.size());
      continued = true;
    } while (!rest.empty());
  }
  return lines;
}

MessageDecoder::MessageDecoder(drayline::Base& base, std::string path,
                               std::optional<Charset> forced)
    : base_(base), path_(std::move(path)), forced_(forced) {}

MessageDecoder::~MessageDecoder() = default;

MessageDecoder::Records* MessageDecoder::OpenRecords() {
  if (records_tried_) return records_.get();
  records_tried_ = true;
  drayline::Status status;
  if (base_.format() == drayline::BaseFormat::kJam) {
    auto reader = drayline::JamRecordReader::Open(path_, &status);
    if (reader != nullptr) records_ = std::make_unique<JamExtras>(std::move(reader));
  } else {
    auto reader = drayline::SquishRecordReader::Open(path_, &status);
    if (reader != nullptr) records_ = std::make_unique<SquishExtras>(std::move(reader));
  }
  return records_.get();
}

std::string MessageDecoder::StoredText() {
  // A read that fails shows what came before it, as the text's lines do.
  std::string text;
  base_.ReadLoadedText(&text);
  return text;
}

Charset MessageDecoder::CharsetOf(const drayline::HeaderView& m) {
  // The same order as Complete's. A JAM header is viewed with its control
  // lines; a Squish frame's come with its text, in the same read.
  if (forced_) return *forced_;
  if (m.controls_viewed) {
    if (const auto named = drayline::CharsetOfControl(m.charset_control)) return *named;
    return drayline::CharsetOfText(StoredText()).value_or(Charset::kCp437);
  }
  std::string text, control;
  base_.ReadLoadedText(&text, &control);
  if (const auto named = drayline::CharsetOfText(control)) return *named;
  return drayline::CharsetOfText(text).value_or(Charset::kCp437);
}

Charset MessageDecoder::Complete(MessageSummary* s) {
  StoredExtras extras;
  if (Records* records = OpenRecords()) records->Read(s->number, &extras);
  s->written = extras.written;
  s->processed = extras.processed;
  // The control lines kept for the message (where a mail processor notes
  // the set it stored the text in) come before a line in the text itself.
  std::optional<Charset> charset = forced_;
  if (!charset) charset = drayline::CharsetOfText(extras.control);
  if (!charset) charset = drayline::CharsetOfText(StoredText());
  const Charset shown = charset.value_or(Charset::kCp437);
  if (shown == Charset::kRaw) return shown;
  for (std::string* field : {&s->from, &s->to, &s->subject, &s->date, &s->time}) {
    *field = drayline::ToUtf8(*field, shown);
  }
  s->utf8 = true;
  return shown;
}

std::vector<std::string> MessageDecoder::TextLines(uint16_t width, Charset charset) {
  // The library wraps bytes, which are characters in every set but UTF-8
  // (where its soft return, byte 141, is part of a character too).
  if (charset == Charset::kUtf8) {
    return WrapUtf8(drayline::ToUtf8(StoredText(), Charset::kUtf8), width);
  }
  drayline::MessageBase& raw = base_.Raw();
  std::vector<std::string> lines;
  raw.BeginTextRead();
  while (!raw.EndOfText()) lines.push_back(drayline::ToUtf8(raw.GetTextLine(width), charset));
  return lines;
}

}  // namespace draybase
