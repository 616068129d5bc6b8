// draybase export, import and convert run as a sysop runs them: an export
// imported into a new base exports the same again (bytes no text decoding
// keeps included), a lossy conversion is refused until --lossy, a damaged
// base and bad arguments are refused, and a failed write is a failure.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "drayline/message.h"
#include "drayline/transfer.h"
#include "jam/jam_transfer.h"
#include "squish/squish_transfer.h"
#include "test_util.h"

namespace drayline {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

class TransferE2eTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  Outcome Run(const std::string& args) const {
    const std::string err = dir_ / "stderr";
    const RunResult r = RunCommand(ShellQuote(DRAYBASE_BIN) + " " + args + " 2>" + ShellQuote(err));
    const std::vector<uint8_t> bytes = ReadFileBytes(err);
    return {r.status, r.out, std::string(bytes.begin(), bytes.end())};
  }
  std::string Q(const std::string& name) const { return ShellQuote(dir_ / name); }

  // A base of the test's format holding a thread of three messages, one
  // with a 40-character sender, and a last-read pointer.
  void MakeBase(const std::string& name, bool long_sender = false) {
    std::vector<ExportedMessage> thread(3);
    for (size_t i = 0; i < thread.size(); ++i) {
      ExportedMessage& m = thread[i];
      m.from = i == 1 && long_sender ? std::string(40, 'L') : "Sysop";
      m.to = "All";
      m.subject = "Caf\x82";  // CP437 e-acute
      m.written = {2026, 12, 7, 10, 0, 0};
      m.orig = {2, 250, 1, 0};
      // Latin-1 bytes under a UTF-8 charset line: no decoding keeps them.
      m.text = i == 2 ? "\x01" "CHRS: UTF-8 4\rcaf\xe9 \xff\r" : "Line one\rLine two\r";
      m.reply_to = i == 0 ? 0 : 1;
      if (GetParam() == BaseFormat::kJam) {
        jam::FillJamPart(&m);
        m.jam.subfields.push_back({4, 0, "2:250/1 abcd"});
      } else {
        squish::FillSquishPart(&m);
        m.squish.control = "\x01MSGID: 2:250/1 abcd";
      }
    }
    Status s;
    std::unique_ptr<MessageSink> sink = MessageSink::Open(dir_ / name, GetParam(), {}, &s);
    ASSERT_TRUE(sink) << s.text();
    for (const ExportedMessage& m : thread) ASSERT_TRUE(sink->Store(m).ok());
    ASSERT_TRUE(sink->SetLastReads({{3, 3, 2, 2}}).ok());
    ASSERT_TRUE(sink->Finish().ok());
  }

  TempDir dir_;
};

TEST_P(TransferE2eTest, AnImportedExportExportsTheSameAgain) {
  MakeBase("a");
  const Outcome first = Run("export " + Q("a"));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("\"text_base64\""), std::string::npos);
  EXPECT_NE(first.out.find("Caf\xc3\xa9"), std::string::npos);  // decoded to UTF-8
  EXPECT_NE(first.out.find("{\"lastread\": [{\"user\": 3"), std::string::npos);
  WriteFileBytes(dir_ / "a.jsonl", {first.out.begin(), first.out.end()});

  const Outcome import = Run("import " + Q("b") + " " + Q("a.jsonl") + " --json");
  ASSERT_EQ(import.status, 0) << import.err;
  EXPECT_NE(import.out.find("\"stored\": 3, \"lastread\": 1"), std::string::npos) << import.out;
  const Outcome second = Run("export " + Q("b"));
  ASSERT_EQ(second.status, 0) << second.err;
  // The same lines but the first, which names the base.
  EXPECT_EQ(second.out.substr(second.out.find('\n')), first.out.substr(first.out.find('\n')));
  EXPECT_EQ(Run("check " + Q("b")).status, 0);

  const Outcome text = Run("export " + Q("b") + " --format text");
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("Message 3 ("), std::string::npos);
  EXPECT_NE(text.out.find("User 3: last read 2"), std::string::npos);
}

// Fields whose writing takes shortcuts: long texts with bytes to escape at
// every offset, addresses at their longest, a set named by a control line
// after another, control information that is not lines alone.
TEST_P(TransferE2eTest, AnExportWritesEveryFieldWhateverItsSize) {
  ExportedMessage m;
  std::string text, escaped;
  for (size_t i = 0; i < 3000; ++i) {
    const char c = "ab\"cdefgh\\ijklmnopq\x1fr"[i % 21];
    text += c;
    escaped += c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\x1f' ? "\\u001f" : std::string(1, c);
  }
  m.text = text + "\r";
  m.orig = {65535, 65535, 65535, 65535};
  m.dest = {1, 2, 3, 0};
  if (GetParam() == BaseFormat::kJam) {
    jam::FillJamPart(&m);
    m.jam.subfields.push_back({2000, 0, "PID: x\x01" "CHRS: LATIN-1 2"});
  } else {
    squish::FillSquishPart(&m);
    m.squish.control = "MSGID: 1:2/3 1\x01" "chrs: LATIN-1 2";  // no byte 1 first
  }
  Status s;
  std::unique_ptr<MessageSink> sink = MessageSink::Open(dir_ / "a", GetParam(), {}, &s);
  ASSERT_TRUE(sink && sink->Store(m).ok() && sink->Finish().ok()) << s.text();
  const Outcome first = Run("export " + Q("a"));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("\"text\": \"" + escaped + "\\r\"}\n"), std::string::npos);
  EXPECT_NE(first.out.find("\"orig\": \"65535:65535/65535.65\", \"dest\": \"1:2/3\""),
            std::string::npos);  // at most 20 characters
  EXPECT_NE(first.out.find("\"charset\": \"LATIN-1\""), std::string::npos);
  EXPECT_EQ(first.out.find("\"control_base64\"") != std::string::npos,
            GetParam() == BaseFormat::kSquish);
  WriteFileBytes(dir_ / "a.jsonl", {first.out.begin(), first.out.end()});
  ASSERT_EQ(Run("import " + Q("b") + " " + Q("a.jsonl")).status, 0);
  const Outcome second = Run("export " + Q("b"));
  EXPECT_EQ(second.out.substr(second.out.find('\n')), first.out.substr(first.out.find('\n')));
}

// JSON of Latin-1 bytes, written the plain way: each byte decoded on its
// own, '"', '\\' and those below 32 escaped.
std::string PlainJson(std::string_view latin1) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : latin1) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += {'\\', c};
    } else if (b == '\n' || b == '\r' || b == '\t') {
      out += {'\\', b == '\n' ? 'n' : b == '\r' ? 'r' : 't'};
    } else if (b < 32) {
      out += {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 15]};
    } else if (b >= 128) {
      out += {static_cast<char>(0xC0 | b >> 6), static_cast<char>(0x80 | (b & 63))};
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Every byte at every distance from a boundary of sixteen, in texts of
// every length up to 70, and numbers of every count of digits, are
// written as the plain way writes them.
TEST_P(TransferE2eTest, EveryByteAndNumberIsWrittenAsThePlainWayWritesThem) {
  const int64_t kNumbers[] = {9, 10, 99, 100, 9999, 10000, 99999999, 100000000, 999999999,
                              1000000000, 4294967294, 4294967295};
  std::vector<ExportedMessage> messages;
  std::vector<std::vector<std::string>> wanted;  // pieces of each message's line
  for (int b = 1; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    auto with_byte = [&](size_t size, size_t at) {
      std::string s(size, 'x');
      s[at % size] = byte;
      return s;
    };
    ExportedMessage m;
    m.from = with_byte(b % 30 + 1, b);
    m.to = with_byte((b + 7) % 30 + 1, b / 2);
    m.subject = with_byte(b % 60 + 1, 3 * b);
    for (size_t run = 0; run < 40; ++run) m.text += std::string(run, 'y') + byte;
    const int64_t number = kNumbers[b % std::size(kNumbers)];
    m.reply_to = -static_cast<int32_t>(number % 100000);
    std::vector<std::string> pieces = {
        "\"from\": " + PlainJson(m.from) + ", ", "\"to\": " + PlainJson(m.to) + ", ",
        "\"subject\": " + PlainJson(m.subject) + ", ", "\"text\": " + PlainJson(m.text) + "}",
        "\"reply_to\": " + std::to_string(m.reply_to) + ","};
    if (GetParam() == BaseFormat::kJam) {
      jam::FillJamPart(&m);
      m.jam.times_read = static_cast<uint32_t>(number);
      m.jam.subfields.push_back({2000, 0, with_byte(b % 70 + 1, b + 5)});
      pieces.push_back("\"times_read\": " + std::to_string(number) + ",");
      pieces.push_back("\"data\": " + PlainJson(m.jam.subfields.back().data) + "}");
    } else {
      squish::FillSquishPart(&m);
      m.squish.date_arrived = static_cast<uint32_t>(number);
      pieces.push_back("\"date_arrived\": " + std::to_string(number) + ",");
    }
    messages.push_back(m);
    wanted.push_back(pieces);
  }
  Status s;
  std::unique_ptr<MessageSink> sink = MessageSink::Open(dir_ / "a", GetParam(), {}, &s);
  ASSERT_TRUE(sink) << s.text();
  for (const ExportedMessage& m : messages) ASSERT_TRUE(sink->Store(m).ok());
  ASSERT_TRUE(sink->Finish().ok());
  const Outcome out = Run("export " + Q("a") + " --charset LATIN-1");
  ASSERT_EQ(out.status, 0) << out.err;
  size_t line = out.out.find('\n') + 1;  // after the base line
  for (const std::vector<std::string>& pieces : wanted) {
    const size_t end = out.out.find('\n', line);
    ASSERT_NE(end, std::string::npos);
    const std::string_view text = std::string_view(out.out).substr(line, end - line);
    for (const std::string& piece : pieces) EXPECT_NE(text.find(piece), text.npos) << piece;
    line = end + 1;
  }
}

// The set a message is shown in: --charset, else the control lines kept
// for it, else a CHRS line in its text, else CP437; the same for list,
// show and export. A JAM listing finds the control lines in the
// header it views, a Squish one beside it.
TEST_P(TransferE2eTest, TheControlLinesNameTheSetBeforeTheText) {
  struct Case {
    std::string control, text, shown;  // shown: the sender, as UTF-8
  } cases[] = {
      {"CHRS: LATIN-1 2", "\x01" "CHRS: CP866 2\rx\r", "Caf\u00e9"},
      {"CHRS: KOI8-R 2", "\x01" "CHRS: LATIN-1 2\rx\r", "Caf\u00e9"},  // a set not known
      {"PID: x", "\x01" "CHRS: CP866 2\rx\r", "Caf\u0449"},
      {"PID: x", "x\r", "Caf\u0398"},
  };
  Status s;
  std::unique_ptr<MessageSink> sink = MessageSink::Open(dir_ / "a", GetParam(), {}, &s);
  ASSERT_TRUE(sink) << s.text();
  for (const Case& c : cases) {
    ExportedMessage m;
    m.from = "Caf\xe9";
    m.to = "Sysop";
    m.text = c.text;
    if (GetParam() == BaseFormat::kJam) {
      jam::FillJamPart(&m);
      m.jam.subfields.push_back({2000, 0, c.control});
    } else {
      squish::FillSquishPart(&m);
      m.squish.control = "\x01" + c.control;
    }
    ASSERT_TRUE(sink->Store(m).ok());
  }
  ASSERT_TRUE(sink->Finish().ok());
  // A Squish frame's control lines come with its text; a JAM header's
  // with its view.
  std::unique_ptr<Base> base = Base::Open(dir_ / "a", &s);
  ASSERT_NE(base, nullptr) << s.text();
  HeaderView view;
  std::string text, control;
  for (MessageIterator it(&base->Raw(), ReadParts::kHeader, 1); it.Next(&view, HeaderDates::kSkip);) {
    const Case& c = cases[static_cast<size_t>(view.number - 1)];
    ASSERT_TRUE(base->ReadLoadedText(&text, &control).ok());
    EXPECT_EQ(text, c.text);
    const bool jam = GetParam() == BaseFormat::kJam;
    EXPECT_EQ(control, jam ? "" : "\x01" + c.control);
    EXPECT_EQ(view.controls_viewed, jam);
    EXPECT_EQ(view.charset_control, jam && c.control.starts_with("CHRS") ? c.control : "");
  }
  base.reset();
  const std::string listed = Run("list " + Q("a") + " --json").out;
  const std::string exported = Run("export " + Q("a")).out;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const std::string& from = cases[i].shown;
    EXPECT_NE(listed.find("\"from\": \"" + from + "\""), std::string::npos) << listed;
    EXPECT_NE(exported.find("\"from\": \"" + from + "\""), std::string::npos) << exported;
    const Outcome shown = Run("show " + Q("a") + " " + std::to_string(i + 1));
    EXPECT_NE(shown.out.find("From:    " + from + "\n"), std::string::npos) << shown.out;
  }
  EXPECT_NE(Run("list " + Q("a") + " --json --charset latin-1").out.find("Caf\u00e9"),
            std::string::npos);
}

TEST_P(TransferE2eTest, ALossyConversionIsRefusedUntilAskedFor) {
  MakeBase("a", /*long_sender=*/true);
  const std::string to = GetParam() == BaseFormat::kJam ? "squish" : "jam";
  const Outcome refused = Run("convert " + Q("a") + " " + Q("b") + " --to " + to);
  if (GetParam() == BaseFormat::kJam) {
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("message 2: the sender is cut to 34 characters"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(PathExists(dir_ / "b.sqd"));
  } else {
    EXPECT_EQ(refused.status, 0) << refused.err;  // a Squish name fits in JAM
    return;
  }
  const Outcome done = Run("convert " + Q("a") + " " + Q("b") + " --to " + to + " --lossy --json");
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("\"losses\": [{\"message\": 2"), std::string::npos) << done.out;
  EXPECT_EQ(Run("check " + Q("b")).status, 0);
  const Outcome back = Run("convert " + Q("b") + " " + Q("c") + " --to jam");
  ASSERT_EQ(back.status, 0) << back.err;
  const Outcome shown = Run("export " + Q("c"));
  EXPECT_NE(shown.out.find("\"data\": \"2:250/1 abcd\""), std::string::npos);  // MSGID came back
  EXPECT_NE(shown.out.find("\"reply_to\": 1"), std::string::npos);
}

TEST_P(TransferE2eTest, DamagedBasesBadArgumentsAndFailedWritesAreRefused) {
  MakeBase("a");
  MakeBase("exists");
  // An index that points past the end of its file.
  const std::string index = dir_ / (GetParam() == BaseFormat::kJam ? "bad.jdx" : "bad.sqi");
  MakeBase("bad");
  std::vector<uint8_t> bytes = ReadFileBytes(index);
  bytes[4] = bytes[5] = bytes[6] = 0x7F;
  WriteFileBytes(index, bytes);
  const struct {
    std::string args;
    int status;
    std::string err;
  } kCases[] = {
      {"export " + Q("bad"), 1, "draybase check"},
      {"convert " + Q("bad") + " " + Q("x") + " --to jam", 1, "draybase repair"},
      {"export " + Q("none"), 2, "no message base"},
      {"export " + Q("a") + " --format xml", 2, "bad value"},
      {"import " + Q("a"), 2, "wrong number"},
      {"import " + Q("x") + " " + Q("missing.jsonl"), 2, "cannot open"},
      {"convert " + Q("a") + " " + Q("x"), 2, "--to"},
      {"convert " + Q("a") + " " + Q("exists") + " --to jam", 2, "exists already"},
      {"export " + Q("a") + " >/dev/full", 1, "cannot write"},
  };
  for (const auto& c : kCases) {
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.status, c.status) << c.args << ": " << o.err;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << c.args << ": " << o.err;
  }
  EXPECT_FALSE(PathExists(dir_ / "x.jhr"));
}

TEST(TransferLimitTest, ASquishBaseTakesItsMostMessagesOnlyWhenAskedTo) {
  TempDir dir;
  Status s;
  std::unique_ptr<MessageSink> sink = MessageSink::Open(dir / "big", BaseFormat::kJam, {}, &s);
  ASSERT_TRUE(sink);
  ExportedMessage m;
  m.from = "Sysop";
  m.to = "All";
  m.text = "x\r";
  jam::FillJamPart(&m);
  for (size_t i = 0; i <= kSquishMostMessages; ++i) ASSERT_TRUE(sink->Store(m).ok());
  ASSERT_TRUE(sink->SetLastReads({{2000000, 1, 5, 5}, {4, 4, 5201, 5201}}).ok());
  ASSERT_TRUE(sink->Finish().ok());
  const std::string convert = ShellQuote(DRAYBASE_BIN) + " convert " + ShellQuote(dir / "big") +
                              " " + ShellQuote(dir / "sq") + " --to squish --json";
  const RunResult refused = RunCommand(convert + " 2>/dev/null");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("{\"message\": 5201, \"loss\": \"not stored: a Squish base holds at most 5200"),
            std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("{\"message\": null, \"loss\": \"the last-read pointer of user 2000000"),
            std::string::npos);
  const RunResult done = RunCommand(convert + " --lossy 2>/dev/null");
  ASSERT_EQ(done.status, 0);
  EXPECT_NE(done.out.find("\"stored\": 5200, \"lastread\": 1"), std::string::npos) << done.out;
  std::unique_ptr<MessageSource> source = MessageSource::Open(dir / "sq", &s);
  ASSERT_TRUE(source);
  std::vector<LastReadValue> pointers;
  ASSERT_TRUE(source->LastReads(&pointers).ok());
  EXPECT_EQ(pointers, (std::vector<LastReadValue>{{4, 4, 5200, 5200}}));
}

// Export lines written or edited by hand: what import takes, and what it
// refuses (naming the line) without storing anything.
class ImportLinesTest : public ::testing::Test {
 protected:
  Outcome Import(const std::vector<std::string>& lines, const std::string& base = "b") {
    std::string file;
    for (const std::string& line : lines) file += line + "\n";
    return ImportFile(file, base);
  }
  Outcome ImportFile(const std::string& file, const std::string& base = "b") {
    WriteFileBytes(dir_ / "in.jsonl", {file.begin(), file.end()});
    const std::string err = dir_ / "stderr";
    const RunResult r = RunCommand(ShellQuote(DRAYBASE_BIN) + " import " + ShellQuote(dir_ / base) +
                                   " " + ShellQuote(dir_ / "in.jsonl") + " 2>" + ShellQuote(err));
    const std::vector<uint8_t> bytes = ReadFileBytes(err);
    return {r.status, r.out, std::string(bytes.begin(), bytes.end())};
  }
  // The stored messages of base b.
  std::vector<ExportedMessage> Stored() {
    Status s;
    std::unique_ptr<MessageSource> source = MessageSource::Open(dir_ / "b", &s);
    std::vector<ExportedMessage> out;
    ExportedMessage m;
    while (source != nullptr && source->Next(&m)) out.push_back(m);
    return out;
  }

  TempDir dir_;
};

const char kBase[] = R"({"base": "x", "format": "squish", "max_messages": 0, "keep_days": 0})";

// A Squish message line with text (already JSON) and extra members.
std::string SquishLine(const std::string& text, const std::string& extra = "",
                       const std::string& charset = "CP437") {
  return R"({"number": 7, "format": "squish", "charset": ")" + charset +
         R"(", "from": "Ann", "to": "Bob", "subject": "Hi", "written": "2026-12-07T10:00:00", )"
         R"("processed": null, "attributes": ["private"], "orig": "1:2/3", "dest": "1:2/4.5", )"
         R"("reply_to": 0, "reply_first": 0, "reply_next": 0, "replies": [0, 0, 0, 0, 0, 0, 0, 0, 0], )"
         R"("squish": {"attributes": 1, "date_written": 0, "date_arrived": 0, "utc_offset": 0, )"
         R"("message_uid": 0, "ftsc_date": "", "control": ["MSGID: 1:2/3 1"]}, "text": )" +
         text + extra + "}";
}

TEST_F(ImportLinesTest, EscapesCharsetsAndBase64ComeBackAsBytes) {
  const struct {
    std::string line;
    std::string text;  // as stored
  } kCases[] = {
      {SquishLine(R"("A\r\u00e9\t\"\\\/")"), "A\r\x82\t\"\\/"},
      {SquishLine(R"("caf\u00e9 \ud83d\ude00")", "", "UTF-8"), "caf\xc3\xa9 \xf0\x9f\x98\x80"},
      {SquishLine(R"("lone \ud800")", "", "UTF-8"), "lone \xef\xbf\xbd"},
      {SquishLine(R"("\u0416")", "", "CP866"), "\x86"},
      {SquishLine(R"("\u0416")"), "?"},  // CP437 has no such letter
      {SquishLine(R"("ignored", "text_base64": "/wAB")"), std::string("\xff\0\x01", 3)},
  };
  for (const auto& c : kCases) {
    std::remove((dir_ / "b.sqd").c_str());
    std::remove((dir_ / "b.sqi").c_str());
    std::remove((dir_ / "b.sql").c_str());
    const Outcome o = Import({kBase, c.line});
    ASSERT_EQ(o.status, 0) << c.line << ": " << o.err;
    const std::vector<ExportedMessage> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].text, c.text.substr(0, c.text.find('\0'))) << c.line;
    EXPECT_EQ(stored[0].squish.control, "\x01MSGID: 1:2/3 1");
    EXPECT_EQ(stored[0].dest, (NetAddress{1, 2, 4, 5}));
  }
}

// A file as an editor may leave it: lines ended by CR LF, blank lines
// between, and the last line without an end.
TEST_F(ImportLinesTest, LineEndsBlankLinesAndAnUnendedLastLineAreRead) {
  const Outcome o = ImportFile(std::string(kBase) + "\r\n\r\n" + SquishLine(R"("one")") +
                               "\r\n \t\n\n" + SquishLine(R"("two")"));
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<ExportedMessage> stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].text, "one");
  EXPECT_EQ(stored[1].text, "two");
}

TEST_F(ImportLinesTest, AMalformedLineIsNamedAndNothingIsStored) {
  const struct {
    std::vector<std::string> lines;
    int status;
    std::string err;
  } kCases[] = {
      {{}, 2, "no base line"},
      {{"not json"}, 2, "in.jsonl:1:"},
      {{R"({"base": "x", "format": "ring", "max_messages": 0, "keep_days": 0})"}, 2, "\"format\""},
      {{kBase, SquishLine("\"ok\""), SquishLine("\"x\"", R"(, "text_base64": "abc")")}, 1,
       "in.jsonl:3: a missing or bad \"text_base64\""},
      {{kBase, SquishLine("12")}, 1, "\"text\""},
      {{kBase, SquishLine(R"("a\q")")}, 1, "a bad escape"},
      {{kBase, SquishLine("\"a\x01\"")}, 1, "a control character"},
      {{kBase, SquishLine("\"x\"", R"(, "extra": 1.5)")}, 1, "not whole"},
      {{kBase, SquishLine("\"x\"", R"(, "extra": 99999999999999999999)")}, 1, "out of range"},
      {{kBase, SquishLine("\"x\"", R"(, "extra": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]])")},
       1, "nesting too deep"},
      {{kBase, SquishLine("\"x\"") + " trailing"}, 1, "text after the value"},
      {{kBase, R"({"lastread": [{"user": -1, "crc": 0, "last_read": 0, "high_read": 0}]})"}, 1,
       "\"user\""},
  };
  for (const auto& c : kCases) {
    const Outcome o = Import(c.lines);
    EXPECT_EQ(o.status, c.status) << c.err << ": " << o.err;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
    EXPECT_TRUE(Stored().empty()) << c.err;
  }
}

TEST_F(ImportLinesTest, AMessageOfTheOtherFormatIsConvertedIntoAnExistingBase) {
  ASSERT_EQ(Import({kBase, SquishLine("\"one\"")}).status, 0);  // b is a Squish base now
  const std::string jam_base = R"({"base": "x", "format": "jam", "max_messages": 0, "keep_days": 0})";
  const std::string jam_line =
      R"({"number": 3, "format": "jam", "charset": "CP437", "from": "Ann", "to": "Bob", )"
      R"("subject": "Hi", "written": null, "processed": null, "attributes": [], "orig": "0:0/0", )"
      R"("dest": "0:0/0", "reply_to": 0, "reply_first": 0, "reply_next": 0, )"
      R"("replies": [0, 0, 0, 0, 0, 0, 0, 0, 0], "jam": {"revision": 1, "reserved_word": 0, )"
      R"("times_read": 4, "msgid_crc": 0, "reply_crc": 0, "date_written": 0, "date_received": 0, )"
      R"("date_processed": 0, "attribute": 0, "attribute2": 0, "password_crc": 4294967295, )"
      R"("cost": 0, "subfields": [{"kind": 4, "hi_id": 0, "data": "1:2/3 9"}]}, "text": "two"})";
  const Outcome refused = Import({jam_base, jam_line});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("message 3: TimesRead 4"), std::string::npos) << refused.err;
  ASSERT_EQ(Stored().size(), 1u);
  const std::string lossless = std::regex_replace(jam_line, std::regex("\"times_read\": 4"),
                                                  "\"times_read\": 0");
  const Outcome done = Import({jam_base, lossless});
  ASSERT_EQ(done.status, 0) << done.err;
  const std::vector<ExportedMessage> stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[1].text, "two");
  EXPECT_EQ(stored[1].squish.control, "\x01MSGID: 1:2/3 9");
}

INSTANTIATE_TEST_SUITE_P(BothFormats, TransferE2eTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         [](const auto& info) {
                           return info.param == BaseFormat::kJam ? "Jam" : "Squish";
                         });

}  // namespace
}  // namespace drayline
