// draybase export BASE [--format json|text] [--charset NAME]: every
// message of a base, whole.
//
// JSON Lines (transfer_json.h): a line for the base, one per message
// (oldest first) and one with the last-read pointers when there are any;
// import reads it back. --format text is a dump for people. A damaged base
// is refused (check, then repair it). Exit status 0 done, 1 the base could
// not be read or standard output could not be written, 2 a usage error.

#include <algorithm>
#include <array>
#include <memory>
#include <cstdio>
#include "draybase/output.h"
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "draybase/transfer_json.h"
#include "drayline/transfer.h"

namespace draybase {
namespace {

using drayline::BaseFormat;
using drayline::ExportedMessage;

std::string Date(const drayline::LocalDateTime& t) {
  if (t == drayline::LocalDateTime{}) return "none";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// Control bytes shown as ^X, so that a dump never steers the terminal.
std::string Visible(std::string_view utf8) {
  std::string out;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c == 0x7F ? '?' : c + '@');
    } else {
      out += c;
    }
  }
  return out;
}

std::string TextDump(const ExportedMessage& m, const TextCodec& codec) {
  static constexpr const char* kFlags[] = {"local", "received", "private", "crash",
                                           "hold", "kill-sent", "sent", "file-attach",
                                           "receipt-request", "confirm-request", "is-receipt",
                                           "file-request"};
  std::string flags;
  for (unsigned i = 0; i < 12; ++i) {
    if (m.attributes & (1u << i)) flags += std::string(flags.empty() ? "" : " ") + kFlags[i];
  }
  auto text = [&](std::string_view bytes) { return Visible(codec.Decode(bytes)); };
  std::string out = "Message " + std::to_string(m.number) + " (" +
                    (m.format == BaseFormat::kJam ? "JAM" : "Squish") + ", " +
                    std::string(CharsetName(codec.charset())) + ")\n";
  out += "From:       " + text(m.from) + " (" + drayline::FormatAddress(m.orig) + ")\n";
  out += "To:         " + text(m.to) + " (" + drayline::FormatAddress(m.dest) + ")\n";
  out += "Subject:    " + text(m.subject) + "\n";
  out += "Written:    " + Date(m.written) + "\nProcessed:  " + Date(m.processed) + "\n";
  out += "Attributes: " + (flags.empty() ? "none" : flags) + "\n";
  out += "Replies:    to " + std::to_string(m.reply_to) + ", first " + std::to_string(m.reply_first);
  if (m.format == BaseFormat::kJam) {
    out += ", next " + std::to_string(m.reply_next) + "\n";
    for (const drayline::JamSubfieldValue& sf : m.jam.subfields) {
      out += "Subfield " + std::to_string(sf.kind) + ": " + text(sf.data) + "\n";
    }
  } else {
    for (size_t i = 1; i < m.replies.size(); ++i) out += ", " + std::to_string(m.replies[i]);
    out += "\n";
    for (size_t pos = 0; pos < m.squish.control.size();) {
      const size_t end = std::min(m.squish.control.find('\x01', pos + 1), m.squish.control.size());
      out += "Control:    " + text(std::string_view(m.squish.control).substr(pos, end - pos)) + "\n";
      pos = end;
    }
  }
  out += "\n";
  for (const std::string& line : drayline::SplitLines(m.text)) out += text(line) + "\n";
  return out;
}

std::string LastReadDump(const std::vector<drayline::LastReadValue>& values) {
  std::string out = "Last-read pointers\n";
  for (const drayline::LastReadValue& v : values) {
    out += "User " + std::to_string(v.user) + ": last read " + std::to_string(v.last_read) +
           ", highest read " + std::to_string(v.high_read) + "\n";
  }
  return out;
}

int WriteFailed() {
  Err() << "draybase export: cannot write to standard output\n";
  return kExitFailed;
}

}  // namespace

int RunExport(CommandArgs args) {
  TransferOptions opts;
  if (!ParseTransferOptions("export", args, 1, 1, {"--format", "--charset"}, &opts)) return kExitUsage;
  const std::string& path = opts.positional[0];
  int status = kExitOk;
  if (!SourceIsSound(path, &status)) return status;
  drayline::Status s;
  std::unique_ptr<drayline::MessageSource> source = drayline::MessageSource::Open(path, &s);
  if (source == nullptr) {
    Err() << "draybase export: " << path << ": " << s.text() << "\n";
    return kExitFailed;
  }
  if (!opts.text && !PutLine(BaseLine(path, source->format(), source->settings()))) return WriteFailed();
  ExportedMessage m;  // its strings' room kept from one message to the next
  std::array<std::unique_ptr<TextCodec>, 8> codecs;  // made once per set
  BlockOutput out;  // the lines, handed to standard output a block at a time
  while (source->Next(&m)) {
    const drayline::Charset charset = MessageCharset(m, opts.charset);
    std::unique_ptr<TextCodec>& made = codecs[static_cast<size_t>(charset) % codecs.size()];
    if (made == nullptr) made = std::make_unique<TextCodec>(charset);
    const TextCodec& codec = *made;
    if (opts.text) {
      out.Append(TextDump(m, codec));
      out.Append("\n");
    } else {
      PutMessageLine(m, codec, &out);
    }
    out.Step();
    if (Out().error() != 0) return WriteFailed();
  }
  // The lines of the messages read go out before any word of a failure.
  out.Flush();
  if (Out().error() != 0) return WriteFailed();
  std::vector<drayline::LastReadValue> last_reads;
  if (source->status().ok()) s = source->LastReads(&last_reads);
  if (!source->status().ok() || !s.ok()) {
    Err() << "draybase export: " << path << ": "
              << (source->status().ok() ? s : source->status()).text() << "\n";
    return kExitFailed;
  }
  if (!last_reads.empty() &&
      !PutLine(opts.text ? LastReadDump(last_reads) : LastReadLine(last_reads))) {
    return WriteFailed();
  }
  return Out().Flush() ? kExitOk : WriteFailed();
}

}  // namespace draybase
