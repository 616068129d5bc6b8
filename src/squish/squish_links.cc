// LinkBase of a Squish base: the threads are worked out from one reading
// under the lock (a Squish base is small: at most 5200 messages), then the
// headers whose links differ are rewritten in steps, each found again by
// its Uid.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "squish/squish_pack.h"
#include "support/file_access.h"

namespace drayline::squish {

namespace {

struct Linked {
  ThreadKey key;
  int32_t reply_to = 0;
  std::array<int32_t, kReplyCount> replies{};
  int32_t want_to = 0;
  std::array<int32_t, kReplyCount> want{};
};

// The header of entry k and its control information.
Status ReadMessage(SquishSession& s, const SquishIndexEntry& e, SquishMessageHeader* header,
                   std::string* control) {
  SquishFrameHeader frame;
  Status st = s.frames().ReadSound(e.FrameOffset, kFrameTypeMessage, &frame);
  if (!st.ok()) return st;
  if (frame.MessageLength < kMessageHeaderSize || frame.ControlLength < 0 ||
      frame.ControlLength > frame.MessageLength - kMessageHeaderSize) {
    return Status::Damaged("the frame of message " + std::to_string(e.Uid) + " is malformed");
  }
  std::vector<uint8_t> bytes(kMessageHeaderSize + size_t(frame.ControlLength));
  const IoResult code = ReadExact(*s.files().data(),
                                  uint64_t(e.FrameOffset) + s.frame_header_size(), bytes);
  if (code != io::kOk) return Status::FromIo(code, "reading message " + std::to_string(e.Uid));
  *header = DecodeMessageHeader(bytes.data());
  control->assign(bytes.begin() + kMessageHeaderSize, bytes.end());
  return Status::Ok();
}

std::string_view Subject(const SquishMessageHeader& h) {
  const auto* text = reinterpret_cast<const char*>(h.Subject.data());
  return std::string_view(text, strnlen(text, h.Subject.size()));
}

Status ReadAll(SquishSession& s, std::vector<Linked>* out) {
  for (int64_t k = 1; k <= s.count(); ++k) {
    SquishMessageHeader h;
    std::string control;
    Status st = ReadMessage(s, s.Entry(k), &h, &control);
    if (!st.ok()) return st;
    Linked m;
    m.key = ThreadKey{uint32_t(s.Entry(k).Uid), IdHash(ControlValue(control, "MSGID")),
                      IdHash(ControlValue(control, "REPLY")), SubjectHash(Subject(h))};
    m.reply_to = h.ReplyTo;
    m.replies = h.Replies;
    out->push_back(m);
  }
  return Status::Ok();
}

// ReplyTo from the threads and the first nine replies; *left_out counts
// the replies past them.
void WantedLinks(std::vector<Linked>* messages, int64_t* left_out) {
  std::vector<ThreadKey> keys;
  for (const Linked& m : *messages) keys.push_back(m.key);
  const std::vector<uint32_t> parent = ThreadReplies(keys);
  std::vector<size_t> replies(messages->size(), 0);
  for (size_t i = 0; i < messages->size(); ++i) {
    if (parent[i] == 0) continue;
    (*messages)[i].want_to = int32_t(parent[i]);
    const auto p = std::lower_bound(messages->begin(), messages->end(), parent[i],
                                    [](const Linked& m, uint32_t n) { return m.key.number < n; });
    const size_t at = size_t(p - messages->begin());
    if (replies[at] < kReplyCount) {
      p->want[replies[at]] = int32_t((*messages)[i].key.number);
    } else {
      ++*left_out;
    }
    ++replies[at];
  }
}

Status LinkStep(SquishSession& s, std::span<const Linked* const> batch, int64_t* written) {
  Status st = s.Begin();
  if (!st.ok()) return st;
  SquishChange steps(s.Parts(), s.change());
  int64_t count = 0;
  for (const Linked* m : batch) {
    const uint16_t k = s.index().FindUid(int32_t(m->key.number), s.count());
    if (k == 0) continue;  // deleted since the reading
    SquishMessageHeader h;
    std::string control;
    st = ReadMessage(s, s.Entry(k), &h, &control);
    if (!st.ok()) break;
    h.ReplyTo = m->want_to;
    h.Replies = m->want;
    st = steps.RewriteHeader(int32_t(m->key.number), h, false);
    ++count;
  }
  if (st.ok()) st = s.Commit();
  s.Abandon();
  if (st.ok()) *written += count;
  return st;
}

}  // namespace

Status LinkSquish(Env* env, std::string_view path, const LinkOptions& options,
                  const StepLimits& limits, MaintenanceReport* report) {
  SquishSession s(env);
  std::vector<Linked> messages;
  Status st = s.Open(path, options.change);
  if (st.ok()) st = s.Begin();
  if (st.ok()) st = ReadAll(s, &messages);
  s.Abandon();
  if (!st.ok()) return st;
  std::sort(messages.begin(), messages.end(),
            [](const Linked& a, const Linked& b) { return a.key.number < b.key.number; });
  WantedLinks(&messages, &report->links_left_out);
  std::vector<const Linked*> changed;
  for (const Linked& m : messages) {
    if (m.reply_to != m.want_to || m.replies != m.want) changed.push_back(&m);
  }
  report->kept = int64_t(messages.size());
  if (options.dry_run) {
    report->relinked = int64_t(changed.size());
    return Status::Ok();
  }
  const size_t per_step = std::max<size_t>(1, std::min<size_t>(limits.items, limits.bytes / 512));
  for (size_t i = 0; st.ok() && i < changed.size(); i += per_step) {
    const size_t n = std::min(per_step, changed.size() - i);
    st = LinkStep(s, std::span(changed).subspan(i, n), &report->relinked);
    if (options.progress) options.progress(i + n, changed.size());
  }
  return st;
}

}  // namespace drayline::squish
