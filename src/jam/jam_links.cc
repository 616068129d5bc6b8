// LinkBase of a JAM base: the threads are worked out from one scan, then
// the headers whose links differ are rewritten in steps, each header only
// while it is still the message the scan saw.

#include <algorithm>
#include <cstring>
#include <string>

#include "jam/jam_pack.h"
#include "jam/jam_pack_parts.h"
#include "jam/jam_subfields.h"
#include "support/coding.h"

namespace drayline::jam {

namespace {

constexpr uint16_t kSfMsgId = 4;
constexpr uint16_t kSfReply = 5;

struct Linked {
  ThreadKey key;
  uint32_t hdr_off = 0;
  uint32_t links[3] = {};  // ReplyTo, Reply1st, ReplyNext as stored
  uint32_t want[3] = {};   // as they should be
};

constexpr size_t kLinkFields[3] = {kMhReplyTo, kMhReply1st, kMhReplyNext};

Linked Describe(std::span<const uint8_t> h, uint32_t offset) {
  Linked m;
  m.key.number = DecodeFixed32(h.data() + kMhMessageNumber);
  m.hdr_off = offset;
  for (int i = 0; i < 3; ++i) m.links[i] = DecodeFixed32(h.data() + kLinkFields[i]);
  ForEachSubfield(h.subspan(kFixedHeaderSize), [&](const Subfield& sf) {
    const std::string_view text(reinterpret_cast<const char*>(sf.data.data()), sf.data.size());
    if (sf.kind == kSfMsgId) m.key.msgid = IdHash(text);
    if (sf.kind == kSfReply) m.key.reply = IdHash(text);
    if (sf.kind == kSfSubject) m.key.subject = SubjectHash(text);
    return true;
  });
  return m;
}

// ReplyTo from the threads; Reply1st the first reply and ReplyNext the
// next sibling, in number order.
void WantedLinks(std::vector<Linked>* messages) {
  std::vector<ThreadKey> keys;
  keys.reserve(messages->size());
  for (const Linked& m : *messages) keys.push_back(m.key);
  const std::vector<uint32_t> parent = ThreadReplies(keys);
  const auto find = [&](uint32_t number) {
    return std::lower_bound(messages->begin(), messages->end(), number,
                            [](const Linked& m, uint32_t n) { return m.key.number < n; });
  };
  std::vector<size_t> last_child(messages->size(), SIZE_MAX);
  for (size_t i = 0; i < messages->size(); ++i) {
    if (parent[i] == 0) continue;
    (*messages)[i].want[0] = parent[i];
    const size_t p = static_cast<size_t>(find(parent[i]) - messages->begin());
    if (last_child[p] == SIZE_MAX) {
      (*messages)[p].want[1] = (*messages)[i].key.number;
    } else {
      (*messages)[last_child[p]].want[2] = (*messages)[i].key.number;
    }
    last_child[p] = i;
  }
}

Status LinkStep(JamBaseFiles& files, std::span<const Linked* const> batch, int64_t* written) {
  JamStep st(files);
  Status s = st.Begin();
  std::vector<uint64_t> offsets;
  for (const Linked* m : batch) offsets.push_back(m->hdr_off);
  RecordRuns heads;
  if (s.ok()) s = heads.Load(*files.header_file(), std::move(offsets), kFixedHeaderSize);
  if (!s.ok()) return s;
  int64_t count = 0;
  for (const Linked* m : batch) {
    uint8_t* h = heads.At(m->hdr_off);
    if (std::memcmp(h + kMhSignature, "JAM", 4) != 0 ||
        DecodeFixed32(h + kMhMessageNumber) != m->key.number) {
      continue;  // rewritten elsewhere since the scan
    }
    for (int i = 0; i < 3; ++i) EncodeFixed32(h + kLinkFields[i], m->want[i]);
    ++count;
  }
  s = heads.Store(st.change());
  if (s.ok()) s = st.Commit();
  if (s.ok()) *written += count;
  return s;
}

}  // namespace

Status LinkJam(Env* env, std::string_view path, const LinkOptions& options,
               const StepLimits& limits, MaintenanceReport* report) {
  JamBaseFiles files(env);
  files.SetPath(path);
  files.SetChangeOptions(options.change);
  Status s = files.Open();
  JamScan scan;
  std::vector<Linked> messages;
  if (s.ok()) {
    s = ScanJam(files, &scan, [&](std::span<const uint8_t> h, uint32_t offset) {
      messages.push_back(Describe(h, offset));
    });
  }
  if (!s.ok()) return s;
  std::sort(messages.begin(), messages.end(),
            [](const Linked& a, const Linked& b) { return a.key.number < b.key.number; });
  WantedLinks(&messages);
  std::vector<const Linked*> changed;
  for (const Linked& m : messages) {
    if (!std::equal(m.links, m.links + 3, m.want)) changed.push_back(&m);
  }
  report->kept = static_cast<int64_t>(messages.size());
  if (options.dry_run) {
    report->relinked = static_cast<int64_t>(changed.size());
    return Status::Ok();
  }
  const size_t per_step = std::max<size_t>(1, std::min<size_t>(limits.items, limits.bytes / 256));
  for (size_t i = 0; s.ok() && i < changed.size(); i += per_step) {
    const size_t n = std::min(per_step, changed.size() - i);
    s = LinkStep(files, std::span(changed).subspan(i, n), &report->relinked);
    if (options.progress) options.progress(i + n, changed.size());
  }
  return s;
}

}  // namespace drayline::jam
