// Sources and sinks by format, the number map, and the conversion of a
// message into the other format with the list of what does not survive.

#include "drayline/transfer.h"

#include <algorithm>
#include <cstdio>

#include "jam/jam_format.h"
#include "jam/jam_transfer.h"
#include "msgbase/factory.h"
#include "msgbase/maintenance_internal.h"
#include "squish/squish_format.h"
#include "squish/squish_transfer.h"
#include "support/env.h"

namespace drayline {

namespace {

// JAM subfield kinds that a Squish message keeps as control lines
// ("\x01" NAME then the data), and back. Kind 2000 holds a control line of
// any other name whole.
struct KludgeKind {
  uint16_t kind;
  std::string_view prefix;
};
constexpr KludgeKind kKludgeKinds[] = {
    {4, "MSGID: "}, {5, "REPLY: "}, {7, "PID: "}, {2003, "FLAGS "}, {2004, "TZUTC: "},
};
constexpr uint16_t kAnyKludge = 2000;
// The subfield kinds of the composed fields, which the common fields carry.
constexpr uint16_t kOrigKind = 0, kDestKind = 1, kFromKind = 2, kToKind = 3, kSubjectKind = 6,
                   kAttachKind = 9, kRequestKind = 11;
// JAM attribute bits with no Squish counterpart that a conversion drops
// without a word: the mail type is the kind of the base the message is in.
constexpr uint32_t kJamTypeBits = 0x03800000;
constexpr uint32_t kJamDeleted = 0x80000000;
constexpr uint32_t kJamNoCrc = 0xFFFFFFFF;
constexpr size_t kSquishNameChars = 34, kSquishSubjectChars = 71;
constexpr uint32_t kSquishNotEchoed = 0x10000;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string_view Line(std::string_view control, size_t* pos) {
  const size_t end = std::min(control.find('\x01', *pos + 1), control.size());
  std::string_view line = control.substr(*pos + 1, end - *pos - 1);
  *pos = end;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

void CutName(std::string_view what, size_t most, std::string* name,
             std::vector<std::string>* losses) {
  if (name->size() <= most) return;
  losses->push_back(std::string(what) + " is cut to " + std::to_string(most) +
                    " characters (of " + std::to_string(name->size()) + ")");
  name->resize(most);
}

bool PackedTimeHolds(const LocalDateTime& t) {
  return t == LocalDateTime{} || (t.year >= 1980 && t.year <= 2107 && t.second % 2 == 0);
}

// JAM into Squish: the composed subfields become the header's fields, the
// kludge kinds control lines; everything else is a loss.
void JamToSquish(const ExportedMessage& m, ExportedMessage* out, std::vector<std::string>* losses) {
  const JamPart& p = m.jam;
  std::string control;
  for (const JamSubfieldValue& sf : p.subfields) {
    const std::string kind = "subfield " + std::to_string(sf.kind);
    if (sf.hi_id != 0) losses->push_back(kind + " has a HiID of " + std::to_string(sf.hi_id));
    switch (sf.kind) {
      case kOrigKind:
      case kDestKind: {
        NetAddress a;
        if (!ParseAddress(sf.data, &a) || FormatAddress(a) != sf.data) {
          losses->push_back(kind + " (address \"" + sf.data + "\") is kept as " + FormatAddress(a));
        }
        continue;
      }
      case kFromKind: out->from = sf.data; continue;
      case kToKind: out->to = sf.data; continue;
      case kSubjectKind: out->subject = sf.data; continue;
      case kAttachKind:
      case kRequestKind:
        if (p.attribute & (sf.kind == kAttachKind ? 0x2000u : 0x1000u)) {
          out->subject = sf.data;
          continue;
        }
        break;
      case kAnyKludge: control += "\x01" + sf.data; continue;
      default: break;
    }
    const auto known = std::find_if(std::begin(kKludgeKinds), std::end(kKludgeKinds),
                                    [&](const KludgeKind& k) { return k.kind == sf.kind; });
    if (known != std::end(kKludgeKinds)) {
      control += "\x01" + std::string(known->prefix) + sf.data;
    } else {
      losses->push_back(kind + " (" + std::to_string(sf.data.size()) + " bytes) has no Squish field");
    }
  }
  CutName("the sender", kSquishNameChars, &out->from, losses);
  CutName("the recipient", kSquishNameChars, &out->to, losses);
  CutName("the subject", kSquishSubjectChars, &out->subject, losses);
  const uint32_t kept = p.attribute & ~(kJamTypeBits | kJamDeleted);
  uint32_t flags_only = 0;
  {
    ExportedMessage probe;
    probe.attributes = m.attributes;
    jam::FillJamPart(&probe);
    flags_only = probe.jam.attribute;
  }
  if (kept & ~flags_only) losses->push_back("attribute bits " + Hex(kept & ~flags_only));
  if (p.attribute2 != 0) losses->push_back("Attribute2 " + Hex(p.attribute2));
  if (p.times_read != 0) losses->push_back("TimesRead " + std::to_string(p.times_read));
  if (p.date_received != 0) losses->push_back("the date received");
  if (p.password_crc != kJamNoCrc) losses->push_back("the password checksum");
  if (p.cost != 0) losses->push_back("the cost " + std::to_string(p.cost));
  if (m.reply_next != 0) losses->push_back("the next-reply link " + std::to_string(m.reply_next));
  if (!PackedTimeHolds(m.written)) losses->push_back("the date written (to two seconds, 1980-2107)");
  if (!PackedTimeHolds(m.processed)) losses->push_back("the date processed (to two seconds, 1980-2107)");
  const size_t nul = out->text.find('\0');
  if (nul != std::string::npos) {
    losses->push_back("the text after its NUL byte at " + std::to_string(nul));
    out->text.resize(nul);
  }
  const size_t room = kSquishMostBody - 1 - std::min(control.size(), kSquishMostBody - 1);
  if (out->text.size() > room) {
    losses->push_back("the text beyond " + std::to_string(room) + " bytes (of " +
                      std::to_string(out->text.size()) + ")");
    out->text.resize(room);
  }
  out->squish = SquishPart{};
  out->squish.control = std::move(control);
  squish::FillSquishPart(out);
}

// Squish into JAM: every control line becomes a subfield; the Squish-only
// header fields are losses.
void SquishToJam(const ExportedMessage& m, ExportedMessage* out, std::vector<std::string>* losses) {
  const SquishPart& p = m.squish;
  std::vector<JamSubfieldValue> kludges;
  for (size_t pos = p.control.find('\x01'); pos < p.control.size();) {
    const std::string_view line = Line(p.control, &pos);
    const auto known = std::find_if(std::begin(kKludgeKinds), std::end(kKludgeKinds),
                                     [&](const KludgeKind& k) { return line.starts_with(k.prefix); });
    if (known != std::end(kKludgeKinds)) {
      kludges.push_back({known->kind, 0, std::string(line.substr(known->prefix.size()))});
    } else {
      kludges.push_back({kAnyKludge, 0, std::string(line)});
    }
  }
  if (!p.control.empty() && p.control[0] != '\x01') losses->push_back("control bytes before the first control line");
  if (m.attributes & (1u << static_cast<unsigned>(AttributeBit::kIsReceipt))) {
    losses->push_back("the is-receipt attribute");
  }
  ExportedMessage probe;
  probe.attributes = m.attributes;
  squish::FillSquishPart(&probe);
  const uint32_t unknown = p.attributes & ~probe.squish.attributes;
  if (unknown & kSquishNotEchoed) losses->push_back("the not-yet-echoed attribute");
  if (unknown & ~kSquishNotEchoed) losses->push_back("attribute bits " + Hex(unknown & ~kSquishNotEchoed));
  for (size_t i = 1; i < m.replies.size(); ++i) {
    if (m.replies[i] != 0) losses->push_back("reply " + std::to_string(i + 1) + " (" + std::to_string(m.replies[i]) + ")");
  }
  if (p.utc_offset != 0) losses->push_back("the UTC offset " + std::to_string(p.utc_offset));
  if (p.message_uid != 0) losses->push_back("the stored unique number " + std::to_string(p.message_uid));
  probe.written = m.written;
  squish::FillSquishPart(&probe);
  if (p.ftsc_date != probe.squish.ftsc_date) losses->push_back("the FTS date text \"" + p.ftsc_date + "\"");
  out->jam = JamPart{};
  out->jam.subfields = std::move(kludges);
  out->replies = {};
  jam::FillJamPart(out);
}

}  // namespace

std::unique_ptr<MessageSource> MessageSource::Open(std::string_view path, Status* status) {
  BaseFormat format{};
  *status = DetectBaseFormat(Env::Default(), path, &format);
  if (!status->ok()) return nullptr;
  return format == BaseFormat::kJam ? jam::NewJamSource(Env::Default(), path, status)
                                    : squish::NewSquishSource(Env::Default(), path, status);
}

std::unique_ptr<MessageSink> OpenMessageSink(Env* env, std::string_view path, BaseFormat format,
                                             const BaseSettings& settings,
                                             const SinkOptions& options, Status* status) {
  BaseFormat found = format;
  *status = DetectBaseFormat(env, path, &found);
  if (!status->ok() && status->code() != StatusCode::kNotFound) return nullptr;
  *status = CheckRoom(env, path, options.room == 0 ? 0 : options.room + kJournalSlack);
  if (!status->ok()) return nullptr;
  return found == BaseFormat::kJam
             ? jam::NewJamSink(env, path, options.change, status)
             : squish::NewSquishSink(env, path, settings, options.change, status);
}

std::unique_ptr<MessageSink> MessageSink::Open(std::string_view path, BaseFormat format,
                                               const BaseSettings& settings, Status* status,
                                               const SinkOptions& options) {
  return OpenMessageSink(Env::Default(), path, format, settings, options, status);
}

uint64_t StoreRoom(const ExportedMessage& m) {
  uint64_t bytes = 0;
  if (m.format == BaseFormat::kJam) {
    bytes = jam::kFixedHeaderSize + m.text.size() + jam::kIndexRecordSize;
    for (const JamSubfieldValue& sf : m.jam.subfields) {
      bytes += jam::kSubfieldHeaderSize + sf.data.size();
    }
  } else {
    bytes = uint64_t{squish::kFrameHeaderSize} + squish::kMessageHeaderSize +
            m.squish.control.size() + m.text.size() + 1 + squish::kIndexEntrySize;
  }
  return 2 * bytes + 256;
}

uint64_t LastReadRoom(const std::vector<LastReadValue>& values, BaseFormat format) {
  uint64_t bytes = 0;
  if (format == BaseFormat::kJam) {
    bytes = values.size() * jam::kLastReadRecordSize;
  } else {
    for (const LastReadValue& v : values) {
      bytes = std::max<uint64_t>(bytes, uint64_t{v.user} * 4 + 4);
    }
  }
  return 2 * bytes;
}

ExportedMessage ConvertMessage(const ExportedMessage& m, BaseFormat to,
                               std::vector<std::string>* losses) {
  losses->clear();
  ExportedMessage out = m;
  if (m.format == to) return out;
  if (to == BaseFormat::kSquish) {
    JamToSquish(m, &out, losses);
  } else {
    SquishToJam(m, &out, losses);
  }
  return out;
}

bool ConvertLastRead(const LastReadValue& value, BaseFormat to, LastReadValue* out) {
  *out = value;
  if (to == BaseFormat::kJam) return true;
  if (value.user < 1 || value.user > kSquishMostUsers) return false;
  out->crc = value.user;
  out->last_read = value.high_read;
  return true;
}

NumberMap::NumberMap(const std::vector<int32_t>& old, int32_t first_new) {
  sorted_.reserve(old.size());
  for (size_t i = 0; i < old.size(); ++i) {
    sorted_.emplace_back(old[i], first_new + static_cast<int32_t>(i));
  }
  std::sort(sorted_.begin(), sorted_.end());
}

int32_t NumberMap::Link(int32_t old) const {
  if (old == 0) return 0;
  const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), std::make_pair(old, INT32_MIN));
  return it != sorted_.end() && it->first == old ? it->second : 0;
}

int32_t NumberMap::Pointer(int32_t pointer) const {
  const auto it = std::upper_bound(sorted_.begin(), sorted_.end(), std::make_pair(pointer, INT32_MAX));
  return it == sorted_.begin() ? 0 : std::prev(it)->second;
}

void NumberMap::MapLinks(ExportedMessage* m) const {
  m->reply_to = Link(m->reply_to);
  m->reply_first = Link(m->reply_first);
  m->reply_next = Link(m->reply_next);
  for (int32_t& r : m->replies) r = Link(r);
  m->squish.message_uid = Link(m->squish.message_uid);
}

}  // namespace drayline
