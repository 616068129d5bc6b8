// Fuzz target: a Squish base whose data and index files hold whatever the
// fuzzer gives, opened and read through the MessageBase interface only.
//
// Input: two bytes (little-endian) give the length of the ".sqd" part, the
// next bytes are the ".sqd" file and the rest the ".sqi" file. Every message
// the cursor reaches is read whole (header, getters, text by lines), the mail
// search runs over the base, and a header rewrite, a delete and a post are
// tried, since those follow chains and offsets read from the files too.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "drayline/message_base.h"
#include "support/env.h"

namespace {

using drayline::Env;
using drayline::File;
using drayline::MessageBase;
using drayline::NetAddress;
using drayline::OpenMode;

const std::string& BasePath() {
  static const std::string path = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                      : tmp != nullptr           ? tmp
                                                                 : "/tmp") +
                          "/squish-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern + "/base";
  }();
  return path;
}

void Store(const std::string& name, std::span<const uint8_t> bytes) {
  std::unique_ptr<File> file;
  Env* env = Env::Default();
  if (env->Open(name, OpenMode::kOpenOrCreate, &file) != 0) abort();
  file->Truncate(0);
  if (!bytes.empty()) file->Write(0, bytes);
}

void ReadEveryMessage(MessageBase& base) {
  base.SeekFirst(0);
  while (base.SeekFound()) {
    base.ReadHeader();
    NetAddress orig, dest;
    base.GetOrig(orig);
    base.GetDest(dest);
    std::string seen = base.GetFrom() + base.GetTo() + base.GetSubject() +
                       base.GetDate() + base.GetTime();
    (void)seen;
    (void)base.GetTextLength();
    (void)base.IsReceived();
    (void)base.GetMsgDisplayNum();
    base.BeginTextRead();
    while (!base.EndOfText()) (void)base.GetTextLine(79);
    base.BeginTextRead();
    while (!base.EndOfText()) (void)base.GetChar();
    base.SeekNext();
  }
  base.SeekPrior();
  (void)base.GetHighActiveMsgNum();
}

}  // namespace



extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t data_len = static_cast<size_t>(data[0] | (data[1] << 8));
  std::span<const uint8_t> rest(data + 2, size - 2);
  if (data_len > rest.size()) data_len = rest.size();
  const std::string& path = BasePath();
  Store(path + ".sqd", rest.first(data_len));
  Store(path + ".sqi", rest.subspan(data_len));
  Store(path + ".sql", rest.first(std::min<size_t>(data_len, 64)));

  std::unique_ptr<MessageBase> base = drayline::NewSquishMessageBase();
  if (base == nullptr) return 0;
  base->SetPath(path);
  (void)base->NumberOfMessages();
  if (base->OpenBase()) {
    ReadEveryMessage(*base);
    base->SeekFirstForUser("All", "Sysop");
    while (base->ForUserFound()) base->SeekNextForUser();
    (void)base->GetLastRead(3);
    // Changes: they must also keep within what the files allow.
    base->SeekFirst(0);
    if (base->SeekFound()) {
      base->ReadHeader();
      base->SetReceived(true);
      base->RewriteHeader();
      base->SeekNext();
      base->ReadHeader();
      base->DeleteMessage();
    }
    base->StartNewMessage();
    base->SetFrom("Fuzz");
    base->SetTo("All");
    base->SetSubject("Probe");
    base->SetDate("01/02/03");
    base->SetTime("04:05");
    base->AddTextLine("A probe.");
    (void)base->WriteMessage();
    ReadEveryMessage(*base);
    base->CloseBase();
  }
  base->Done();
  return 0;
}
