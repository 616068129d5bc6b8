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
// existing board is never overwritten.

#include <array>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "post/board_records.h"
#include "support/env.h"
#include "support/file_access.h"

namespace draybase {

namespace {

using drayline::Env;
using drayline::IoResult;

bool MakeDir(Env* env, const std::string& name) {
  if (env->Exists(name)) return true;
  if (IoResult code = env->CreateDir(name)) {
    std::cerr << "draybase: cannot create directory " << name
              << " (I/O result " << code << ")\n";
    return false;
  }
  return true;
}

// Writes a new file; an existing one is left alone and reported.
bool WriteNewFile(Env* env, const std::string& name,
                  std::span<const uint8_t> bytes) {
  std::unique_ptr<drayline::File> file;
  bool exists = false;
  IoResult code = env->Open(name, drayline::OpenMode::kCreateExclusive, &file,
                            &exists);
  if (code == drayline::io::kOk) {
    code = drayline::WriteWithRetry(*file, 0, bytes)
               ? file->Close()
               : drayline::LastFileError();
  }
  if (code == drayline::io::kOk) return true;
  std::cerr << "draybase: cannot write " << name;
  if (exists) {
    std::cerr << ": it exists already\n";
  } else {
    std::cerr << " (I/O result " << code << ")\n";
  }
  return false;
}

std::vector<uint8_t> SampleBaseRecords() {
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
  chatter.MaxMsgs = 500;
  chatter.MaxAge = 30;
  std::vector<uint8_t> bytes(2 * drayline::kMessageBaseRecordSize);
  const std::span<uint8_t> all(bytes);
  drayline::EncodeMessageBaseRecord(general, all.first(
      drayline::kMessageBaseRecordSize));
  drayline::EncodeMessageBaseRecord(chatter, all.subspan(
      drayline::kMessageBaseRecordSize));
  return bytes;
}

}  // namespace

int RunNewBoard(CommandArgs args) {
  if (args.size() != 1 || args[0].empty()) {
    std::cerr << "usage: draybase newboard DIR\n";
    return kExitUsage;
  }
  Env* env = Env::Default();
  const std::string root = args[0].back() == '/' ? args[0] : args[0] + "/";
  const std::string system_name = root + "tarvik.dat";
  const std::string bases_name = root + "data/mbases.dat";
  for (const std::string& name : {system_name, bases_name}) {
    if (env->Exists(name)) {
      std::cerr << "draybase: " << name
                << " exists already; not overwriting a board\n";
      return kExitFailed;
    }
  }
  if (!MakeDir(env, root) || !MakeDir(env, root + "data") ||
      !MakeDir(env, root + "msgs")) {
    return kExitFailed;
  }
  std::array<uint8_t, drayline::kSystemConfigRecordSize> system{};
  drayline::EncodeSystemConfigRecord({.DataPath = "data/"}, system);
  if (!WriteNewFile(env, system_name, system) ||
      !WriteNewFile(env, bases_name, SampleBaseRecords())) {
    return kExitFailed;
  }
  std::cout << "New board in " << root << ": tarvik.dat, data/mbases.dat "
            << "(0 general: JAM, local; 1 chatter: Squish, echomail), msgs/\n";
  return kExitOk;
}

}  // namespace draybase
