// Fuzz target: a JAM base whose files come from the fuzzer is opened and
// read whole (every header, subfield and text, the cursor both ways, the
// mail search, a last-read pointer); then, when the input asks for it, the
// changing operations run on it and it is read again. Nothing may crash or
// touch memory out of bounds, whatever the files hold.
//
// Input: flags (1 byte), BaseMsgNum (4), the lengths of the index and the
// text file (2 + 2), the index, the text, then the header file after its
// 1024-byte base header. With flag 1 the first 24 bytes of the base header
// are taken from the input as well (right after the lengths).

#include <cstdint>
#include <cstring>
#include <vector>

#include "drayline/message_base.h"
#include "fuzz_input.h"
#include "jam/jam_format.h"
#include "read_every_message.h"
#include "support/coding.h"

namespace {

using namespace drayline;

std::vector<uint8_t> BaseHeader(FuzzInput& in, uint8_t flags, uint32_t base_msg_num) {
  std::vector<uint8_t> header(jam::kBaseHeaderSize, 0);
  std::memcpy(header.data(), "JAM", 4);
  EncodeFixed32(header.data() + jam::kBhPasswordCrc, jam::kNoCrc);
  EncodeFixed32(header.data() + jam::kBhBaseMsgNum, base_msg_num);
  if (flags & 1) {
    std::span<const uint8_t> raw = in.Bytes(24);
    std::memcpy(header.data(), raw.data(), raw.size());
  }
  return header;
}

void ChangeMessages(MessageBase& base) {
  base.SeekFirst(1);
  base.ReadHeader();
  base.SetReceived(true);
  base.RewriteHeader();
  base.DeleteMessage();
  base.SeekNext();
  base.ReadHeader();
  base.ResetText();
  base.SetSubject("A subject that is longer than most");
  base.AddTextLine("rewritten");
  base.RewriteMessage();
  base.SetLastRead(3, 9);
  base.StartNewMessage();
  base.SetTo("Sysop");
  base.AddTextLine("posted");
  base.WriteMessage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FuzzDir dir;
  FuzzInput in(data, size);
  const uint8_t flags = in.U8();
  const uint32_t base_msg_num = in.U32();
  const uint16_t index_len = in.U16();
  const uint16_t text_len = in.U16();
  std::vector<uint8_t> jhr = BaseHeader(in, flags, base_msg_num);
  const std::span<const uint8_t> jdx = in.Bytes(index_len);
  const std::span<const uint8_t> jdt = in.Bytes(text_len);
  const std::span<const uint8_t> headers = in.Rest();
  jhr.insert(jhr.end(), headers.begin(), headers.end());
  dir.WriteFile("base.jhr", jhr);
  dir.WriteFile("base.jdx", jdx);
  dir.WriteFile("base.jdt", jdt);
  dir.WriteFile("base.jlr", jdt.first(std::min<size_t>(jdt.size(), 64)));

  std::unique_ptr<MessageBase> base = NewJamMessageBase();
  OpenAndExercise(*base, dir / "base", (flags & 2) != 0, &ChangeMessages);
  return 0;
}
