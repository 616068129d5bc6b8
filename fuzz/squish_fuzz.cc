// Fuzz target: a Squish base whose data and index files come from the
// fuzzer is opened and read whole (every header and text, the cursor both
// ways, the mail search, a last-read pointer); then, when the input asks for
// it, the changing operations run on it (they follow offsets and chains read
// from the files too) and it is read again. Nothing may crash or touch
// memory out of bounds, whatever the files hold.
//
// Input: flags (1 byte), the length of the data file (2), the data file,
// then the index file.

#include <cstdint>
#include <memory>

#include "drayline/message_base.h"
#include "fuzz_input.h"
#include "read_every_message.h"

namespace {

using namespace drayline;

void ChangeMessages(MessageBase& base) {
  base.SeekFirst(1);
  base.ReadHeader();
  base.SetReceived(true);
  base.RewriteHeader();
  base.SeekNext();
  base.ReadHeader();
  base.SetSubject("A subject that is longer than most");
  base.RewriteMessage();
  base.DeleteMessage();
  base.SetLastRead(3, 9);
  base.StartNewMessage();
  base.SetTo("Sysop");
  base.SetDate("01/02/03");
  base.SetTime("04:05");
  base.AddTextLine("posted");
  base.WriteMessage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FuzzDir dir;
  FuzzInput in(data, size);
  const uint8_t flags = in.U8();
  const uint16_t data_len = in.U16();
  const std::span<const uint8_t> sqd = in.Bytes(data_len);
  const std::span<const uint8_t> sqi = in.Rest();
  dir.WriteFile("base.sqd", sqd);
  dir.WriteFile("base.sqi", sqi);
  dir.WriteFile("base.sql", sqi.first(std::min<size_t>(sqi.size(), 64)));

  std::unique_ptr<MessageBase> base = NewSquishMessageBase();
  OpenAndExercise(*base, dir / "base", (flags & 2) != 0, &ChangeMessages);
  return 0;
}
