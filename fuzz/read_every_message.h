// Reads everything a board program can read from an open base, through the
// MessageBase interface only: every message's header, getters and text (as
// lines and as bytes), the cursor backwards, the mail search, a listing's
// viewed walk and a last-read pointer. Shared by the fuzz targets and the corruption tests,
// whatever the format.

#ifndef DRAYLINE_FUZZ_READ_EVERY_MESSAGE_H_
#define DRAYLINE_FUZZ_READ_EVERY_MESSAGE_H_

#include <climits>
#include <cstdint>
#include <string>

#include "drayline/message.h"
#include "drayline/message_base.h"

namespace drayline {

// Every loop is bounded, so that a damaged base can make the reading wrong
// but never endless. Returns a sum of what was read, so it is really read.
inline uint64_t ReadEveryMessage(MessageBase& base, int max_messages = 5000) {
  constexpr int kMaxLines = 20000;
  constexpr int kMaxBytes = 1 << 20;
  uint64_t sum = static_cast<uint32_t>(base.GetHighMsgNum());
  sum += static_cast<uint32_t>(base.NumberOfMessages());
  std::string first_to;
  int seen = 0;
  for (base.SeekFirst(INT32_MIN); base.SeekFound() && seen < max_messages; base.SeekNext()) {
    ++seen;
    base.ReadHeader();
    if (seen == 1) first_to = base.GetTo();
    NetAddress orig, dest;
    base.GetOrig(orig);
    base.GetDest(dest);
    sum += base.GetFrom().size() + base.GetTo().size() + base.GetSubject().size() +
           base.GetDate().size() + base.GetTime().size() + base.GetCost() +
           static_cast<uint32_t>(base.GetMsgNum() ^ base.GetTextLength() ^ base.GetReplyTo() ^
                                 base.GetFirstReply() ^ base.GetNextReply()) +
           orig.zone + dest.net + base.IsLocal() + base.IsPrivate() + base.IsReceived() +
           base.IsDeleted() + base.IsFileAttach() + base.IsFileRequest();
    base.BeginTextRead();
    for (int lines = 0; !base.EndOfText() && lines < kMaxLines; ++lines) {
      sum += base.GetTextLine(79).size();
    }
    base.BeginTextRead();
    for (int n = 0; !base.EndOfText() && n < kMaxBytes; ++n) sum += base.GetChar();
    base.SetTextPosition(-3);
    sum += base.GetVisibleLine(255).size();
  }
  for (int n = 0; base.SeekFound() || n == 0; ++n) {
    if (n >= max_messages) break;
    base.SeekPrior();
  }
  for (const std::string& name : {first_to, std::string()}) {
    int found = 0;
    for (base.SeekFirstForUser(name, "Sysop"); base.ForUserFound() && found < max_messages;
         base.SeekNextForUser()) {
      ++found;
    }
    sum += found;
  }
  // A listing's walk, each header viewed (with its dates).
  HeaderView view;
  int viewed = 0;
  for (MessageIterator it(&base, ReadParts::kHeader);
       viewed < max_messages && it.Next(&view, HeaderDates::kRead); ++viewed) {
    sum += view.from.size() + view.to.size() + view.subject.size() + view.date_text.size() +
           view.time_text.size() + view.written.year + view.processed.second + view.attributes +
           static_cast<uint32_t>(view.number ^ view.text_length);
  }
  sum += static_cast<uint32_t>(base.GetHighActiveMsgNum());
  sum += static_cast<uint32_t>(base.GetLastRead(1));
  return sum;
}

// Opens the base at path, reads every message, and with change also runs
// change_messages and reads everything again. The shared body of the fuzz
// targets.
inline void OpenAndExercise(MessageBase& base, const std::string& path,
                            bool change,
                            void (*change_messages)(MessageBase&)) {
  base.SetPath(path);
  if (!base.OpenBase()) return;
  ReadEveryMessage(base, 500);
  if (change) {
    change_messages(base);
    ReadEveryMessage(base, 500);
  }
  base.CloseBase();
}

}  // namespace drayline

#endif  // DRAYLINE_FUZZ_READ_EVERY_MESSAGE_H_
