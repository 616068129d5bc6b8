#include "draybase/transfer_run.h"

#include "draybase/output.h"

#include "draybase/commands.h"
#include "draybase/json.h"
#include "draybase/signal_hold.h"
#include "drayline/message.h"

namespace draybase {
namespace {

using drayline::BaseFormat;
using drayline::ExportedMessage;
using drayline::LastReadValue;

struct Loss {
  int64_t message = -1;  // -1: a last-read pointer's
  std::string what;
};

// What the first pass learnt.
struct Plan {
  BaseFormat format{};
  size_t existing = 0;          // messages the target holds already
  std::vector<int32_t> numbers;  // of the messages that will be stored
  std::vector<Loss> losses;
  std::vector<LastReadValue> last_reads;  // in the target's format
  uint64_t room = 0;  // free bytes on the target's disk the stores take
};

// The target's format and message count; false (after a line) when it is
// there but cannot be used.
bool Target(std::string_view command, const std::string& dst, const MessageFeed& feed,
            const TransferOptions& opts, Plan* plan, int* exit_status) {
  drayline::Status s;
  std::unique_ptr<drayline::MessageSource> there = drayline::MessageSource::Open(dst, &s);
  if (there == nullptr && s.code() == drayline::StatusCode::kNotFound) {
    plan->format = opts.to.value_or(feed.format());
    return true;
  }
  if (there == nullptr || !SourceIsSound(dst, exit_status)) {
    if (there == nullptr) Err() << "draybase " << command << ": " << dst << ": " << s.text() << "\n";
    if (there == nullptr) *exit_status = kExitFailed;
    return false;
  }
  plan->format = there->format();
  std::vector<int32_t> numbers;
  s = there->Numbers(&numbers);
  plan->existing = numbers.size();
  if (opts.to && *opts.to != plan->format) {
    Err() << "draybase " << command << ": " << dst << " is a " << FormatName(plan->format)
              << " base\n";
    *exit_status = kExitUsage;
    return false;
  }
  return true;
}

bool FirstPass(MessageFeed& feed, Plan* plan) {
  if (!feed.Start()) return false;
  const size_t room = plan->format == BaseFormat::kSquish
                          ? drayline::kSquishMostMessages - std::min(plan->existing, drayline::kSquishMostMessages)
                          : SIZE_MAX;
  ExportedMessage m;
  std::vector<std::string> losses;
  while (feed.Next(&m)) {
    if (plan->numbers.size() == room) {
      plan->losses.push_back({m.number, "not stored: a Squish base holds at most 5200 messages"});
      continue;
    }
    plan->room += drayline::StoreRoom(drayline::ConvertMessage(m, plan->format, &losses));
    for (std::string& l : losses) plan->losses.push_back({m.number, std::move(l)});
    plan->numbers.push_back(m.number);
  }
  if (!feed.error().empty()) return false;
  for (const LastReadValue& v : feed.last_reads()) {
    LastReadValue out;
    if (drayline::ConvertLastRead(v, plan->format, &out)) {
      plan->last_reads.push_back(out);
    } else {
      plan->losses.push_back({-1, "the last-read pointer of user " + std::to_string(v.user) +
                                      ": a Squish base keeps none beyond user 1000000"});
    }
  }
  plan->room += drayline::LastReadRoom(plan->last_reads, plan->format);
  return true;
}

drayline::Status Store(const std::string& dst, MessageFeed& feed, const Plan& plan, size_t* stored) {
  drayline::Status s;
  drayline::SinkOptions options;
  options.change = ProcessChangeOptions();
  options.room = plan.room;
  std::unique_ptr<drayline::MessageSink> sink =
      drayline::MessageSink::Open(dst, plan.format, feed.settings(), &s, options);
  if (sink == nullptr) return s;
  const drayline::NumberMap map(plan.numbers, sink->NextNumber());
  if (!feed.Start()) return drayline::Status::InvalidArgument(feed.error());
  ExportedMessage m;
  std::vector<std::string> losses;
  while (s.ok() && *stored < plan.numbers.size() && feed.Next(&m)) {
    ExportedMessage c = drayline::ConvertMessage(m, plan.format, &losses);
    map.MapLinks(&c);
    s = sink->Store(c);
    if (s.ok()) ++*stored;
  }
  if (s.ok() && !feed.error().empty()) s = drayline::Status::InvalidArgument(feed.error());
  std::vector<LastReadValue> pointers = plan.last_reads;
  for (LastReadValue& v : pointers) {
    v.last_read = map.Pointer(v.last_read);
    v.high_read = map.Pointer(v.high_read);
  }
  if (s.ok() && !pointers.empty()) s = sink->SetLastReads(pointers);
  if (s.ok()) s = sink->Finish();
  if (!s.ok()) *stored = 0;  // the sink undid every store
  return s;
}

bool Summary(const std::string& dst, const Plan& plan, size_t stored, bool json) {
  if (!json) {
    return PutLine(dst + ": " + std::to_string(stored) + " messages stored (" +
                   std::string(FormatName(plan.format)) + ")" +
                   (stored > 0 ? ", " + std::to_string(plan.last_reads.size()) + " last-read pointers" : ""));
  }
  std::vector<std::string> losses;
  for (const Loss& l : plan.losses) {
    JsonObject o;
    o.AddRaw("message", l.message < 0 ? "null" : std::to_string(l.message));
    losses.push_back(o.AddString("loss", l.what).str());
  }
  std::string list = "[";
  for (size_t i = 0; i < losses.size(); ++i) list += (i ? ", " : "") + losses[i];
  JsonObject o;
  o.AddString("base", dst).AddString("format", FormatName(plan.format));
  o.AddNumber("stored", static_cast<int64_t>(stored));
  o.AddNumber("lastread", static_cast<int64_t>(stored > 0 ? plan.last_reads.size() : 0));
  return PutLine(o.AddRaw("losses", list + "]").str());
}

}  // namespace

int RunTransfer(std::string_view command, const std::string& dst, MessageFeed& feed,
                const TransferOptions& opts) {
  Plan plan;
  int status = kExitFailed;
  if (!Target(command, dst, feed, opts, &plan, &status)) return status;
  if (!FirstPass(feed, &plan)) {
    Err() << "draybase " << command << ": " << feed.error() << "\n";
    return kExitFailed;
  }
  for (const Loss& l : plan.losses) {
    Err() << (l.message < 0 ? std::string("last-read") : "message " + std::to_string(l.message))
              << ": " << l.what << "\n";
  }
  size_t stored = 0;
  drayline::Status s;
  if (!plan.losses.empty() && !opts.lossy) {
    Err() << "draybase " << command << ": nothing stored: " << plan.losses.size()
              << " losses (--lossy stores all the same)\n";
    s = drayline::Status::InvalidArgument("losses");
  } else {
    s = Store(dst, feed, plan, &stored);
    if (!s.ok()) Err() << "draybase " << command << ": " << dst << ": " << s.text() << "\n";
  }
  if (!Summary(dst, plan, stored, opts.json) || !Out().Flush()) {
    Err() << "draybase " << command << ": cannot write to standard output\n";
    return kExitFailed;
  }
  return s.ok() ? kExitOk : kExitFailed;
}

}  // namespace draybase
