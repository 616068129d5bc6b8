#include "draybase/listing.h"

#include <algorithm>
#include <utility>

#include "drayline/charset.h"

namespace draybase {

using drayline::MessageBase;

MessageSummary Summarize(MessageBase& base) {
  MessageSummary s;
  s.number = base.GetMsgNum();
  s.from = base.GetFrom();
  s.to = base.GetTo();
  s.subject = base.GetSubject();
  s.date = base.GetDate();
  s.time = base.GetTime();
  s.local = base.IsLocal();
  s.is_private = base.IsPrivate();
  s.received = base.IsReceived();
  s.deleted = base.IsDeleted();
  s.length = base.GetTextLength();
  const std::pair<bool, char> letters[] = {
      {s.local, 'L'},         {s.is_private, 'P'},   {s.received, 'R'},
      {base.IsSent(), 'S'},   {base.IsCrash(), 'C'}, {base.IsKillSent(), 'K'},
      {base.IsFileAttach(), 'A'}, {base.IsFileRequest(), 'F'}, {s.deleted, 'D'}};
  for (const auto& [on, letter] : letters) {
    if (on) s.attributes += letter;
  }
  return s;
}

JsonObject SummaryJson(const MessageSummary& s) {
  JsonObject object(s.utf8 ? JsonText::kUtf8 : JsonText::kBytes);
  object.AddNumber("number", s.number)
      .AddString("from", s.from)
      .AddString("to", s.to)
      .AddString("subject", s.subject)
      .AddString("date", s.date)
      .AddString("time", s.time)
      .AddRaw("written", JsonLocalTime(s.written))
      .AddRaw("processed", JsonLocalTime(s.processed))
      .AddBool("local", s.local)
      .AddBool("private", s.is_private)
      .AddBool("received", s.received)
      .AddBool("deleted", s.deleted)
      .AddNumber("length", s.length);
  return object;
}

std::string Printable(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b == 127) c = '?';
  }
  return out;
}

namespace {

// Widest columns: a longer entry pushes its line's later columns along
// rather than being cut.
constexpr size_t kMaxDateTimeWidth = 20;
constexpr size_t kMaxNameWidth = 30;
constexpr size_t kMaxSubjectWidth = 40;

// The characters s takes on a terminal: UTF-8 text counts characters,
// stored bytes count bytes.
size_t Shown(const MessageSummary& m, std::string_view s) {
  return m.utf8 ? drayline::Utf8Length(s) : s.size();
}

std::string Padded(const MessageSummary& m, std::string_view s, size_t width) {
  std::string out = Printable(s);
  const size_t shown = Shown(m, out);
  if (shown < width) out.append(width - shown, ' ');
  return out;
}

// Column widths: as wide as the longest entry within its limit, never
// narrower than the heading. Dates and times are as wide as the base
// writes them (a Squish time carries seconds).
struct Columns {
  size_t num = 3, date = 8, time = 5, from = 4, to = 2, subject = 7;

  void Fit(const MessageSummary& m) {
    num = std::max(num, std::to_string(m.number).size());
    date = std::max(date, std::min(Shown(m, m.date), kMaxDateTimeWidth));
    time = std::max(time, std::min(Shown(m, m.time), kMaxDateTimeWidth));
    from = std::max(from, std::min(Shown(m, m.from), kMaxNameWidth));
    to = std::max(to, std::min(Shown(m, m.to), kMaxNameWidth));
    subject = std::max(subject, std::min(Shown(m, m.subject), kMaxSubjectWidth));
  }

  std::string Line(std::string_view number, const MessageSummary& m) const {
    std::string out(num > number.size() ? num - number.size() : 0, ' ');
    out += std::string(number) + "  " + Padded(m, m.date, date) + " " +
           Padded(m, m.time, time) + "  " + Padded(m, m.from, from) + "  " +
           Padded(m, m.to, to) + "  " + Padded(m, m.subject, subject) + "  " + m.attributes;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  }
};

}  // namespace

std::string ListingText(const std::vector<MessageSummary>& messages) {
  Columns columns;
  for (const MessageSummary& m : messages) columns.Fit(m);
  MessageSummary heading;
  heading.date = "Date";
  heading.time = "Time";
  heading.from = "From";
  heading.to = "To";
  heading.subject = "Subject";
  heading.attributes = "Attr";
  std::string text = columns.Line("Num", heading);
  for (const MessageSummary& m : messages) text += columns.Line(std::to_string(m.number), m);
  return text;
}

}  // namespace draybase
