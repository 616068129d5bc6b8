#include "squish/squish_test_util.h"

#include <gtest/gtest.h>

#include <set>

#include "msgbase/engine_message_base.h"
#include "squish/squish_storage.h"
#include "support/coding.h"
#include "support/strings.h"
#include "test_util.h"

namespace drayline {

using namespace squish;

std::string StoredMessage::to() const {
  return CStrToStr(header.ToName, kNameLimit);
}

namespace {

bool FrameAt(const std::vector<uint8_t>& data, int64_t offset,
             SquishFrameHeader* frame) {
  if (offset < 0 || size_t(offset) + kFrameHeaderSize > data.size()) {
    return false;
  }
  *frame = DecodeFrameHeader(data.data() + offset);
  return frame->FrameId == kFrameId;
}

std::string WalkMessages(const std::vector<uint8_t>& data, BaseContents* out) {
  const SquishBaseHeader& h = out->header;
  const int64_t fhs = h.FrameHeaderSize == 0 ? 28 : h.FrameHeaderSize;
  int32_t prev = 0;
  std::set<int32_t> seen;
  for (int32_t p = h.FirstFrame; p != 0;) {
    if (!seen.insert(p).second) return "loop in the message chain";
    StoredMessage m;
    m.offset = p;
    if (!FrameAt(data, p, &m.frame)) return "bad frame " + std::to_string(p);
    if (m.frame.FrameType != kFrameTypeMessage) return "free frame in chain";
    if (m.frame.PrevFrame != prev) return "bad PrevFrame at " + std::to_string(p);
    const size_t body = size_t(p + fhs);
    const size_t text_len = size_t(m.frame.MessageLength) - kMessageHeaderSize;
    if (body + kMessageHeaderSize + text_len > data.size()) return "short frame";
    m.header = DecodeMessageHeader(data.data() + body);
    m.text.assign(reinterpret_cast<const char*>(data.data()) + body +
                      kMessageHeaderSize,
                  text_len);
    out->messages.push_back(m);
    prev = p;
    p = m.frame.NextFrame;
  }
  if (prev != h.LastFrame) return "chain does not end at LastFrame";
  return "";
}

std::string WalkFree(const std::vector<uint8_t>& data, BaseContents* out) {
  int32_t prev = 0;
  std::set<int32_t> seen;
  for (int32_t p = out->header.FirstFreeFrame; p != 0;) {
    if (!seen.insert(p).second) return "loop in the free chain";
    SquishFrameHeader f;
    if (!FrameAt(data, p, &f) || f.FrameType != kFrameTypeFree) {
      return "bad free frame " + std::to_string(p);
    }
    if (f.PrevFrame != prev) return "bad free PrevFrame";
    out->free_frames.push_back(p);
    prev = p;
    p = f.NextFrame;
  }
  if (prev != out->header.LastFreeFrame) return "free chain end mismatch";
  return "";
}

}  // namespace

BaseContents ReadBase(const std::string& path) {
  BaseContents out;
  std::vector<uint8_t> data = ReadFileBytes(path + ".sqd");
  std::vector<uint8_t> index = ReadFileBytes(path + ".sqi");
  if (data.size() < kBaseHeaderSize) {
    out.error = "data file too short";
    return out;
  }
  out.header = DecodeBaseHeader(data.data());
  for (size_t i = 0; i + kIndexEntrySize <= index.size(); i += kIndexEntrySize) {
    out.index.push_back(DecodeIndexEntry(index.data() + i));
  }
  out.error = WalkMessages(data, &out);
  if (out.error.empty()) out.error = WalkFree(data, &out);
  if (!out.error.empty()) return out;
  if (index.size() % kIndexEntrySize != 0) out.error = "partial index entry";
  if (out.messages.size() != size_t(out.header.MessageCount) ||
      out.index.size() != out.messages.size()) {
    out.error = "counts disagree: chain " + std::to_string(out.messages.size()) +
                ", MessageCount " + std::to_string(out.header.MessageCount) +
                ", index " + std::to_string(out.index.size());
    return out;
  }
  if (out.header.HighMessage != out.header.MessageCount) {
    out.error = "HighMessage differs from MessageCount";
  }
  for (size_t i = 0; i < out.index.size(); ++i) {
    if (out.index[i].FrameOffset != out.messages[i].offset) {
      out.error = "index entry " + std::to_string(i + 1) + " is not frame";
    } else if (out.index[i].NameHash != NameHash(out.messages[i].to())) {
      out.error = "index hash " + std::to_string(i + 1);
    } else if (i > 0 && out.index[i].Uid <= out.index[i - 1].Uid) {
      out.error = "Uids not rising";
    }
  }
  if (!out.index.empty() && out.index.back().Uid >= out.header.NextUid) {
    out.error = "NextUid not above the Uids";
  }
  return out;
}

uint16_t Post(MessageBase& base, const std::string& to,
              const std::vector<std::string>& lines, const std::string& from,
              const std::string& subject, const std::string& date,
              const std::string& time) {
  base.StartNewMessage();
  base.SetLocal(true);
  base.SetMailType(MailType::Echo);
  base.SetPrivate(false);
  base.SetDate(date);
  base.SetTime(time);
  base.SetFrom(from);
  base.SetTo(to);
  base.SetSubject(subject);
  for (const std::string& line : lines) base.AddTextLine(line);
  return base.WriteMessage();
}

void BuildBase(const std::string& path, int count, int text_len,
               int32_t max_msgs, int32_t protected_count) {
  const int32_t frame_len = kMessageHeaderSize + text_len;
  const int32_t stride = kFrameHeaderSize + frame_len;
  std::vector<uint8_t> data(kBaseHeaderSize + size_t(count) * stride, 0);
  std::vector<uint8_t> index(size_t(count) * kIndexEntrySize);
  SquishBaseHeader h;
  h.HeaderLength = kBaseHeaderSize;
  h.MessageCount = h.HighMessage = count;
  h.NextUid = count + 1;
  h.ProtectedCount = protected_count;
  h.MaxMessages = max_msgs;
  h.FrameHeaderSize = kFrameHeaderSize;
  h.EndFrame = kBaseHeaderSize + count * stride;
  if (count > 0) {
    h.FirstFrame = kBaseHeaderSize;
    h.LastFrame = kBaseHeaderSize + (count - 1) * stride;
  }
  EncodeBaseHeader(h, data.data());
  SquishMessageHeader m;
  StrToCStr("All", kNameLimit, m.ToName);
  for (int i = 0; i < count; ++i) {
    const int32_t at = kBaseHeaderSize + i * stride;
    SquishFrameHeader f;
    f.FrameId = kFrameId;
    f.PrevFrame = i > 0 ? at - stride : 0;
    f.NextFrame = i + 1 < count ? at + stride : 0;
    f.FrameLength = f.MessageLength = frame_len;
    EncodeFrameHeader(f, data.data() + at);
    EncodeMessageHeader(m, data.data() + at + kFrameHeaderSize);
    std::fill_n(data.begin() + at + kFrameHeaderSize + kMessageHeaderSize,
                text_len - 1, 'm');
    EncodeIndexEntry({at, i + 1, NameHash("All")},
                     index.data() + i * kIndexEntrySize);
  }
  WriteFileBytes(path + ".sqd", data);
  WriteFileBytes(path + ".sqi", index);
  WriteFileBytes(path + ".sql", {});
}

InspectedBase NewInspectedBase(Env* env) {
  auto engine = std::make_unique<SquishEngine>(env);
  EXPECT_TRUE(engine->Allocate());
  InspectedBase made;
  made.engine = engine.get();
  made.base = std::make_unique<EngineMessageBase>(std::move(engine), env);
  return made;
}

bool OpenOrCreate(MessageBase& base, const std::string& path,
                  uint16_t max_msgs, uint16_t keep_days) {
  base.SetPath(path);
  if (base.OpenBase()) return true;
  return base.CreateBase(max_msgs, keep_days) && base.OpenBase();
}

}  // namespace drayline
