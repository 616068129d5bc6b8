#include "draybase/base_access.h"

#include <algorithm>
#include <charconv>
#include <iostream>

#include "support/env.h"
#include "support/strings.h"

namespace draybase {

using drayline::MessageBase;

bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    bool takes_width, Arguments* out) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      out->json = true;
    } else if (takes_width && arg == "--width") {
      if (i + 1 == args.size()) {
        std::cerr << "draybase " << command << ": --width needs a number\n";
        return false;
      }
      out->width = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      std::cerr << "draybase " << command << ": unknown option " << arg << "\n";
      return false;
    } else {
      out->positional.push_back(arg);
    }
  }
  if (out->positional.size() < min || out->positional.size() > max) {
    std::cerr << "draybase " << command << ": wrong number of arguments"
              << " (draybase with no arguments lists the commands)\n";
    return false;
  }
  return true;
}

std::optional<int32_t> ParseNumber(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::unique_ptr<MessageBase> OpenMessageBase(const std::string& path, int* status) {
  drayline::Env* env = drayline::Env::Default();
  const bool jam = drayline::FileExists(env, path + ".jhr");
  const bool squish = drayline::FileExists(env, path + ".sqd");
  *status = kExitUsage;
  if (jam == squish) {
    std::cerr << "draybase: " << path
              << (jam ? " is both a JAM base (.jhr) and a Squish base (.sqd)\n"
                      : " is not a message base (no " + path + ".jhr or " + path +
                            ".sqd)\n");
    return nullptr;
  }
  *status = kExitFailed;
  std::unique_ptr<MessageBase> base =
      jam ? drayline::NewJamMessageBase() : drayline::NewSquishMessageBase();
  if (base == nullptr) {
    std::cerr << "draybase: " << path << ": " << (jam ? "JAM" : "Squish")
              << " bases cannot be read by this build\n";
    return nullptr;
  }
  base->SetPath(path);
  if (!base->OpenBase()) {
    std::cerr << "draybase: cannot open the message base " << path << "\n";
    return nullptr;
  }
  *status = kExitOk;
  return base;
}

bool SeekMessage(MessageBase& base, const std::string& path, int32_t num) {
  base.SeekFirst(num);
  if (base.SeekFound()) {
    base.ReadHeader();
    if (base.GetMsgNum() == num) return true;
  }
  std::cerr << "draybase: " << path << " has no message " << num << "\n";
  return false;
}

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
  JsonObject object;
  object.AddNumber("number", s.number)
      .AddString("from", s.from)
      .AddString("to", s.to)
      .AddString("subject", s.subject)
      .AddString("date", s.date)
      .AddString("time", s.time)
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

std::string Padded(std::string_view s, size_t width) {
  std::string out = Printable(s);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

}  // namespace

std::string ListingText(const std::vector<MessageSummary>& messages) {
  // Columns as wide as their longest entry, names at most 30 wide (a longer
  // one pushes its line's later columns along rather than being cut).
  // Dates and times are as wide as the base writes them (a Squish time
  // carries seconds).
  size_t num_w = 3, date_w = 8, time_w = 5, from_w = 4, to_w = 2, subject_w = 7;
  for (const MessageSummary& m : messages) {
    num_w = std::max(num_w, std::to_string(m.number).size());
    date_w = std::max(date_w, std::min<size_t>(m.date.size(), 20));
    time_w = std::max(time_w, std::min<size_t>(m.time.size(), 20));
    from_w = std::max(from_w, std::min<size_t>(m.from.size(), 30));
    to_w = std::max(to_w, std::min<size_t>(m.to.size(), 30));
    subject_w = std::max(subject_w, std::min<size_t>(m.subject.size(), 40));
  }
  auto line = [&](std::string_view num, std::string_view date, std::string_view time,
                  std::string_view from, std::string_view to, std::string_view subject,
                  std::string_view attributes) {
    std::string out(num_w > num.size() ? num_w - num.size() : 0, ' ');
    out += std::string(num) + "  " + Padded(date, date_w) + " " + Padded(time, time_w) + "  " +
           Padded(from, from_w) + "  " + Padded(to, to_w) + "  " + Padded(subject, subject_w) +
           "  " + std::string(attributes);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string text = line("Num", "Date", "Time", "From", "To", "Subject", "Attr");
  for (const MessageSummary& m : messages) {
    text += line(std::to_string(m.number), m.date, m.time, m.from, m.to, m.subject,
                 m.attributes);
  }
  return text;
}

}  // namespace draybase
