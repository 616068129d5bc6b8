// draybase newboard DIR: a sample board to post into.
//
// DIR/tarvik.dat      the system record, DataPath "data/"
// DIR/data/mbases.dat two base records: 0 "general" (JAM, local, public)
//                     and 1 "chatter" (Squish, echomail, public, 500
//                     messages, 30 days), both in "msgs/"
// DIR/msgs/           where the bases' files go
//
// The paths inside the records are relative to the board's root, where
// drayline runs, so BasePath fits its 40 characters wherever DIR lies. An
// existing board is never overwritten (the library's CreateBoard sees to
// that, and words every failure).

#include "draybase/output.h"
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "drayline/board.h"

namespace draybase {

namespace {

constexpr uint16_t kChatterMaxMsgs = 500;
constexpr uint16_t kChatterMaxDays = 30;

std::vector<drayline::MessageBaseRecord> SampleBases() {
  drayline::MessageBaseRecord general;
  general.BaseFileName = "general";
  general.BasePath = "msgs/";
  general.BaseFormat = drayline::kFormatJam;
  general.NetType = drayline::kNetLocal;
  drayline::MessageBaseRecord chatter;
  chatter.BaseFileName = "chatter";
  chatter.BasePath = "msgs/";
  chatter.BaseFormat = drayline::kFormatSquish;
  chatter.NetType = drayline::kNetEcho;
  chatter.MaxMsgs = kChatterMaxMsgs;
  chatter.MaxAge = kChatterMaxDays;
  return {general, chatter};
}

}  // namespace

int RunNewBoard(CommandArgs args) {
  if (args.size() != 1 || args[0].empty()) {
    Err() << "usage: draybase newboard DIR\n";
    return kExitUsage;
  }
  const std::string root = args[0].back() == '/' ? args[0] : args[0] + "/";
  const drayline::Status made =
      drayline::CreateBoard(root, {.DataPath = "data/"}, SampleBases());
  if (!made.ok()) {
    Err() << "draybase: " << made.text() << "\n";
    return kExitFailed;
  }
  Out() << "New board in " << root << ": tarvik.dat, data/mbases.dat "
            << "(0 general: JAM, local; 1 chatter: Squish, echomail), msgs/\n";
  return kExitOk;
}

}  // namespace draybase
