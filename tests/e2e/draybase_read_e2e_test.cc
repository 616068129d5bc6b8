// draybase's reading commands run as a sysop runs them, on bases stored by
// the library: list, show, mail, delete and lastread, plain and --json,
// their exit statuses, and what reaches standard output and error.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "jam/jam_test_files.h"
#include "support/env.h"
#include "test_util.h"

extern char** environ;

namespace drayline {
namespace {

using Strings = std::vector<std::string>;

struct Outcome {
  int status = -1;
  std::string out, err;
};

struct Post {
  std::string from, to, subject;
  std::vector<std::string> lines;
  bool is_private = false;
};

class DraybaseReadTest : public ::testing::Test {
 protected:
  void SetUp() override { base_ = dir_ / "general"; }

  Outcome Run(const std::string& args) const {
    const std::string err = dir_ / "stderr";
    RunResult r = RunCommand(ShellQuote(DRAYBASE_BIN) + " " + args + " 2>" + ShellQuote(err));
    Outcome o;
    o.status = r.status;
    o.out = r.out;
    const std::vector<uint8_t> bytes = ReadFileBytes(err);
    o.err.assign(bytes.begin(), bytes.end());
    return o;
  }
  std::string Q(const std::string& s) const { return ShellQuote(s); }
  // out with each processing time, which is the clock's when the message
  // was stored, as "NOW" once it has the right form.
  static std::string ProcessedNow(const std::string& out) {
    static const std::regex processed(R"("processed": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")");
    return std::regex_replace(out, processed, R"("processed": "NOW")");
  }

  void Store(const std::vector<Post>& posts) {
    std::unique_ptr<MessageBase> owned = NewJamMessageBase();
    MessageBase& base = *owned;
    base.SetPath(base_);
    if (!base.OpenBase()) {
      ASSERT_TRUE(base.CreateBase(0, 0));
      ASSERT_TRUE(base.OpenBase());
    }
    for (const Post& p : posts) {
      base.StartNewMessage();
      base.SetLocal(true);
      base.SetPrivate(p.is_private);
      base.SetDate("06/15/01");
      base.SetTime("14:30");
      base.SetFrom(p.from);
      base.SetTo(p.to);
      base.SetSubject(p.subject);
      for (const std::string& line : p.lines) base.AddTextLine(line);
      ASSERT_EQ(base.WriteMessage(), 0);
    }
  }
  void StoreSample() {
    Store({{"Sysop", "All", "Hello", {"Test"}},
           {"Ann", "Sysop", "Private word", {"Just between us.", "Bye"}, true},
           {"Bob", "sysop", "Re: \"quotes\" \\ and \xe9t\xe9", {"caf\xe9"}}});
  }

  TempDir dir_;
  std::string base_;
};

TEST_F(DraybaseReadTest, ListShowsEveryMessageInFixedColumns) {
  StoreSample();
  // Names are cut at 20 characters and subjects at 34; a control
  // character shows as '?'.
  Store({{"Christopher Kowalczyk-Smith", "All", "A subject longer than its column of the listing",
          {"x"}},
         {"Tab\tby", "All", "Bell\a", {"x"}}});
  Outcome o = Run("list " + Q(base_) + " --charset raw");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "Num  Date     Time   From                  To                    Subject"
            "                             Attr\n"
            "  1  06-15-01 14:30  Sysop                 All                   Hello"
            "                               L\n"
            "  2  06-15-01 14:30  Ann                   Sysop                 Private word"
            "                        LP\n"
            "  3  06-15-01 14:30  Bob                   sysop                 "
            "Re: \"quotes\" \\ and \xe9t\xe9              L\n"
            "  4  06-15-01 14:30  Christopher Kowalczy  All                   "
            "A subject longer than its column o  L\n"
            "  5  06-15-01 14:30  Tab?by                All                   Bell?"
            "                               L\n");
  // Decoded, a name is cut and padded by characters, not bytes: the
  // attribute letters stay in their column.
  Store({{std::string(22, '\x9a'), "All",
          "\xe9", {"x"}}});
  const std::string decoded = Run("list " + Q(base_)).out;
  const size_t last = decoded.rfind("\n  6 ");
  ASSERT_NE(last, std::string::npos) << decoded;
  std::string cut;  // 20 of the 22 U+00DC, CP437's 0x9a
  for (int i = 0; i < 20; ++i) cut += "\u00dc";
  EXPECT_EQ(decoded.substr(last + 1), "  6  06-15-01 14:30  " + cut + "  All" +
                                          std::string(17, ' ') + "  \u0398" +
                                          std::string(33, ' ') + "  L\n");
}

TEST_F(DraybaseReadTest, ListingsShowEveryUnusualByteWhereverItStands) {
  // A byte to show as '?' or to escape (or, 'b', one shown as it is), at
  // every place of senders and subjects of one to nine bytes and of
  // lengths about a vector of 16 or two, and about and past the cells'
  // widths (20 and 34): the listings look at short and long texts
  // differently, and at the part of a text past its cell too.
  std::vector<Post> posts;
  for (const char unusual : {'\x01', '\x1f', '\x7f', '"', '\\', '\xe9', 'b'}) {
    for (const size_t length :
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 20, 21, 31, 32, 33, 34, 35, 49}) {
      for (size_t at = 0; at < length; ++at) {
        std::string text(length, 'a');
        text[at] = unusual;
        posts.push_back({text, "All", text, {"x"}});
      }
    }
  }
  Store(posts);
  const std::string plain = Run("list " + Q(base_) + " --charset raw").out;
  const std::string json = Run("list " + Q(base_) + " --json --charset raw").out;
  // A cell: the text as shown, cut at width and padded to it.
  auto cell = [](const std::string& shown, size_t width) {
    return shown.substr(0, width) + std::string(width - std::min(width, shown.size()), ' ');
  };
  for (size_t i = 0; i < posts.size(); ++i) {
    const std::string& text = posts[i].subject;
    std::string shown, escaped;
    for (const char c : text) {
      const auto b = static_cast<unsigned char>(c);
      shown += b < 32 || b == 127 ? '?' : c;
      if (c == '"' || c == '\\') {
        escaped += std::string("\\") + c;
      } else if (b < 32 || b >= 128) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", b);
        escaped += hex;
      } else {
        escaped += c;
      }
    }
    char number[24];
    std::snprintf(number, sizeof number, "%4zu", i + 1);
    const std::string line = std::string(number) + "  06-15-01 14:30  " + cell(shown, 20) +
                             "  All" + std::string(17, ' ') + "  " + cell(shown, 34) + "  L\n";
    EXPECT_NE(plain.find(line), std::string::npos) << line;
    EXPECT_NE(json.find("\"from\": \"" + escaped + "\", \"to\""), std::string::npos) << escaped;
    EXPECT_NE(json.find("\"subject\": \"" + escaped + "\", \"date\""), std::string::npos)
        << escaped;
  }
}

TEST_F(DraybaseReadTest, ListingsShowNumbersOfEveryWidthAndEmptyTexts) {
  // Numbers about 10^8, where a listing writes its digits another way;
  // texts left empty; a message with no date written (nor any processed);
  // one with every attribute and the last date a JAM header holds.
  jamtest::JamFiles files(99999998);
  jamtest::TestMessage m;
  m.from = m.subject = "";
  files.Add(m);
  m = jamtest::TestMessage();
  m.date_written = 0;
  files.Add(m);
  files.Add(jamtest::TestMessage());
  m = jamtest::TestMessage();
  m.attribute = 0xffffffff;
  m.date_written = 0xffffffff;
  files.Add(m);
  files.Write(base_);
  const std::string hello =
      "Sysop                 All                   Hello" + std::string(31, ' ');
  EXPECT_EQ(Run("list " + Q(base_)).out,
            "      Num  Date     Time   From                  To                    Subject"
            "                             Attr\n"
            " 99999998  06-15-01 14:30                        All" + std::string(55, ' ') + "L\n"
            " 99999999  01-01-70 00:00  " + hello + "L\n"
            "100000000  06-15-01 14:30  " + hello + "L\n"
            "100000001  02-07-06 06:28  " + hello + "LPRSCKAFD\n");
  const std::string json = Run("list " + Q(base_) + " --json").out;
  const std::string tail = R"(, "processed": null, "local": true, "private": )";
  for (const std::string& row : Strings{
           "[\n  " R"({"number": 99999998, "from": "", "to": "All", "subject": "", )"
           R"("date": "06-15-01", "time": "14:30", "written": "2001-06-15T14:30:00")" + tail +
               R"(false, "received": false, "deleted": false, "length": 5},)",
           R"({"number": 99999999, "from": "Sysop", "to": "All", "subject": "Hello", )"
           R"("date": "01-01-70", "time": "00:00", "written": null)" + tail,
           R"({"number": 100000000, "from": "Sysop", )",
           R"({"number": 100000001, "from": "Sysop", "to": "All", "subject": "Hello", )"
           R"("date": "02-07-06", "time": "06:28", "written": "2106-02-07T06:28:15")" + tail +
               R"(true, "received": true, "deleted": true, "length": 5})" "\n]\n"}) {
    EXPECT_NE(json.find(row), std::string::npos) << row << "\n" << json;
  }
}

TEST_F(DraybaseReadTest, ListJson) {
  StoreSample();
  Outcome o = Run("list " + Q(base_) + " --json --charset raw");
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string tail =
      R"(, "date": "06-15-01", "time": "14:30", "written": "2001-06-15T14:30:00", )"
      R"("processed": "NOW", "local": true, "private": )";
  EXPECT_EQ(ProcessedNow(o.out),
            "[\n"
            R"(  {"number": 1, "from": "Sysop", "to": "All", "subject": "Hello")" + tail +
                R"(false, "received": false, "deleted": false, "length": 5},)" "\n"
            R"(  {"number": 2, "from": "Ann", "to": "Sysop", "subject": "Private word")" +
                tail + R"(true, "received": false, "deleted": false, "length": 21},)" "\n"
            R"(  {"number": 3, "from": "Bob", "to": "sysop", )"
            R"("subject": "Re: \"quotes\" \\ and \u00e9t\u00e9")" +
                tail + R"(false, "received": false, "deleted": false, "length": 5})" "\n"
            "]\n");
  // An empty base is an empty array.
  base_ = dir_ / "empty";
  Store({});
  EXPECT_EQ(Run("list " + Q(base_) + " --json").out, "[]\n");
}

// The peak resident memory, in KiB, of draybase run with args (standard
// output to /dev/null); -1 when it did not exit with status 0.
long PeakKib(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {DRAYBASE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = -1;
  struct rusage usage = {};
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0) {
    wait4(pid, &status, 0, &usage);
  }
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

TEST_F(DraybaseReadTest, ListingsHoldTheSameMemoryWhateverTheSizeOfTheBase) {
  // Two bases of the same messages, one twenty times the other: a listing
  // that kept its rows would hold megabytes more for the larger.
  for (const auto& [name, count] : {std::pair{"small", 2000}, std::pair{"large", 40000}}) {
    jamtest::JamFiles files;
    jamtest::TestMessage m;
    m.subject = std::string(60, 's');
    for (int i = 0; i < count; ++i) files.Add(m);
    files.Write(dir_ / name);
  }
  for (const Strings& args : {Strings{"list"}, Strings{"list", "--json"}, Strings{"mail"}}) {
    long peak[2] = {};
    for (int i = 0; i < 2; ++i) {
      Strings argv = args;
      argv.insert(argv.begin() + 1, dir_ / (i == 0 ? "small" : "large"));
      if (args[0] == "mail") argv.push_back("All");
      peak[i] = PeakKib(argv);
      ASSERT_GT(peak[i], 0) << args[0];
    }
    EXPECT_LT(peak[1] - peak[0], 2048) << args[0] << (args.size() > 1 ? " --json" : "");
  }
}

TEST_F(DraybaseReadTest, ShowHeaderAndWrappedText) {
  Store({{"Sysop", "All", "Hello", {"one two three four five", "", "six"}}});
  Outcome o = Run("show " + Q(base_) + " 1 --width 10");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "Message: 1\nFrom:    Sysop\nTo:      All\nSubject: Hello\n"
            "Date:    06-15-01 14:30\nAttr:    L\nLength:  29\n\n"
            "one two \nthree \nfour five\n\nsix\n");
  Outcome json = Run("show --json " + Q(base_) + " 1 --width 10");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(ProcessedNow(json.out),
            R"({"number": 1, "from": "Sysop", "to": "All", "subject": "Hello", )"
            R"("date": "06-15-01", "time": "14:30", "written": "2001-06-15T14:30:00", )"
            R"("processed": "NOW", "local": true, "private": false, )"
            R"("received": false, "deleted": false, "length": 29, "lines": [)" "\n"
            "  \"one two \",\n  \"three \",\n  \"four five\",\n  \"\",\n  \"six\"\n]}\n");
}

TEST_F(DraybaseReadTest, ShowRefusesBadNumbersAndWidths) {
  StoreSample();
  for (const std::string& args : Strings{"4", "0", "x", "1 --width 0", "1 --width 256", "1 --width", "1 --width w", "1 2"}) {
    Outcome o = Run("show " + Q(base_) + " " + args + " --json");
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_EQ(o.out, "") << args;
    EXPECT_NE(o.err, "") << args;
  }
  EXPECT_EQ(Run("show " + Q(base_) + " 1 --width 255").status, 0);
}

TEST_F(DraybaseReadTest, MailFindsUnreceivedMail) {
  StoreSample();
  Outcome o = Run("mail " + Q(base_) + " SYSOP --json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "[\n  2,\n  3\n]\n");
  Outcome alias = Run("mail " + Q(base_) + " Nobody ALL");
  ASSERT_EQ(alias.status, 0);
  EXPECT_NE(alias.out.find("\n  1  06-15-01 14:30  Sysop" + std::string(15, ' ') + "  All  "),
            std::string::npos)
      << alias.out;
  EXPECT_EQ(Run("mail " + Q(base_) + " Nobody --json").out, "[]\n");
}

TEST_F(DraybaseReadTest, DeleteAndReadBack) {
  StoreSample();
  Outcome o = Run("delete " + Q(base_) + " 2 --json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "{\"deleted\": 2}\n");
  EXPECT_EQ(Run("mail " + Q(base_) + " Sysop --json").out, "[\n  3\n]\n");
  Outcome again = Run("delete " + Q(base_) + " 2");
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(Run("delete " + Q(base_) + " 1").out, "Deleted message 1 of " + base_ + ".\n");
  Outcome list = Run("list " + Q(base_));
  EXPECT_EQ(list.out.find("\n  1 "), std::string::npos);
  EXPECT_EQ(list.out.find("\n  2 "), std::string::npos);
  EXPECT_NE(list.out.find("\n  3 "), std::string::npos);
}

TEST_F(DraybaseReadTest, LastReadShowsAndStores) {
  StoreSample();
  EXPECT_EQ(Run("lastread " + Q(base_) + " 7").out, "User 7 last read 0\n");
  Outcome set = Run("lastread " + Q(base_) + " 7 120 --json");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "{\"user\": 7, \"lastread\": 120}\n");
  EXPECT_EQ(Run("lastread " + Q(base_) + " 7").out, "User 7 last read 120\n");
  EXPECT_EQ(Run("lastread " + Q(base_) + " 7 3").out, "User 7 last read set to 3\n");
  EXPECT_EQ(ReadFileBytes(base_ + ".jlr"),
            (std::vector<uint8_t>{7, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0}));
  for (const std::string& args : Strings{"0", "-1", "x", "7 y", "7 1 2"}) {
    Outcome o = Run("lastread " + Q(base_) + " " + args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_EQ(o.out, "") << args;
  }
}

TEST_F(DraybaseReadTest, ChangesThatCannotTakeTheLockAreFailures) {
  StoreSample();
  // Hold the lock on byte 0 of the header file, as a busy writer would.
  std::unique_ptr<File> holder;
  ASSERT_EQ(Env::Default()->Open(base_ + ".jhr", OpenMode::kReadWrite, &holder), 0);
  ASSERT_EQ(holder->Lock(0, 1), 0);
  const std::string both =
      "(" + ShellQuote(DRAYBASE_BIN) + " delete " + Q(base_) + " 2 --json 2>" + Q(dir_ / "delete") +
      "; echo \"delete $?\") & (" + ShellQuote(DRAYBASE_BIN) + " lastread " + Q(base_) +
      " 7 9 --json 2>" + Q(dir_ / "lastread") + "; echo \"lastread $?\") & wait";
  RunResult r = RunCommand("{ " + both + "; } 2>/dev/null");
  EXPECT_NE(r.out.find("delete 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("lastread 1"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('{'), std::string::npos) << r.out;  // no JSON on failure
  // Each says why, in the words of the failure's status.
  for (const std::string& command : Strings{"delete", "lastread"}) {
    const std::vector<uint8_t> err = ReadFileBytes(dir_ / command);
    EXPECT_NE(std::string(err.begin(), err.end()).find(": the base is locked by another program"),
              std::string::npos)
        << command;
  }
  holder.reset();
  EXPECT_EQ(Run("show " + Q(base_) + " 2").status, 0);  // still there
  EXPECT_EQ(Run("lastread " + Q(base_) + " 7").out, "User 7 last read 0\n");
}

TEST_F(DraybaseReadTest, UsageErrors) {
  StoreSample();
  WriteFileBytes(dir_ / "both.jhr", {});
  WriteFileBytes(dir_ / "both.sqd", {});
  for (const std::string& args :
       Strings{"frobnicate", "list", "list " + Q(base_) + " --jsn", "list " + Q(base_) + " extra",
        "list " + Q(dir_ / "missing"), "list " + Q(dir_ / "both"), "mail " + Q(base_),
        "delete " + Q(base_) + " 99", "delete " + Q(base_), "lastread " + Q(base_)}) {
    Outcome o = Run(args + " --json");
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_EQ(o.out, "") << args;
    EXPECT_NE(o.err, "") << args;
  }
}

TEST_F(DraybaseReadTest, NewBoardNeverOverwritesABoard) {
  const std::string board = dir_ / "board";
  ASSERT_EQ(Run("newboard " + Q(board)).status, 0);
  const std::vector<uint8_t> bases = ReadFileBytes(board + "/data/mbases.dat");
  Outcome again = Run("newboard " + Q(board + "/"));
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "draybase: " + board + "/tarvik.dat exists already; not overwriting a board\n");
  EXPECT_EQ(ReadFileBytes(board + "/data/mbases.dat"), bases);
  // A directory that cannot be made (its parent is a file) is named with
  // the I/O result of the failure.
  Outcome nested = Run("newboard " + Q(board + "/tarvik.dat/inner"));
  EXPECT_EQ(nested.status, 1);
  EXPECT_EQ(nested.err,
            "draybase: cannot create directory " + board + "/tarvik.dat/inner/ (I/O result 3)\n");
}

TEST_F(DraybaseReadTest, BaseThatDoesNotOpenIsAFailure) {
  WriteFileBytes(base_ + ".jhr", std::vector<uint8_t>(100, 0));  // no whole header
  Outcome o = Run("list " + Q(base_) + " --json");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err, "");
}

TEST_F(DraybaseReadTest, DamagedBasesNeverCrashTheCommands) {
  StoreSample();
  const std::vector<uint8_t> jhr = ReadFileBytes(base_ + ".jhr");
  const std::vector<uint8_t> jdx = ReadFileBytes(base_ + ".jdx");
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    std::vector<uint8_t> h = jhr, x = jdx;
    for (int i = 0; i < 6; ++i) {
      h[1024 + random() % (h.size() - 1024)] = static_cast<uint8_t>(random());
      x[random() % x.size()] = static_cast<uint8_t>(random() % 2 ? 0xFF : random());
    }
    WriteFileBytes(base_ + ".jhr", h);
    WriteFileBytes(base_ + ".jdx", x);
    for (const std::string& command : Strings{"list", "show", "mail"}) {
      const std::string extra = command == "show" ? " 2" : command == "mail" ? " Sysop" : "";
      Outcome o = Run(command + " " + Q(base_) + extra + " --json");
      EXPECT_LE(o.status, 2) << command << " round " << round << ": " << o.err;
    }
  }
}

}  // namespace
}  // namespace drayline
