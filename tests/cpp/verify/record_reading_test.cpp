#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "logread/record_format.hpp"
#include "test_files.hpp"
#include "verify/key_reading.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

std::string signature_text(int first = 0) {
  std::string out = "[";
  for (int i = 0; i < 64; ++i) {
    if (i > 0) out += ',';
    out += std::to_string(i == 0 ? first : i);
  }
  return out + "]";
}

// A well-formed line with one member's value text replaced.
std::string record_line(const std::string& member = "", const std::string& value = "") {
  std::vector<std::pair<std::string, std::string>> members = {
      {"id", "\"oxa_0f8e4c0a-1b2c-4d5e-8f90-a1b2c3d4e5f6\""},
      {"timestamp", "\"2026-12-06T17:52:01.250+00:00\""},
      {"monotonic_nanos", "18446744073709551615"},
      {"hash", "\"" + std::string(64, 'a') + "\""},
      {"signature", signature_text()},
      {"merkle_root", "\"" + std::string(64, '0') + "\""},
      {"coherence_score", "0.9104000000000001"},
      {"reputation_scalar", "1e-7"},
      {"ppp_json", R"("{\"provenance\":\"m\\n\",\"place\":\"é\",\"purpose\":\"u\"}")"},
      {"ctx_json", R"("{\"a\": NaN}")"},
      {"prompt", R"("line\nfeed \u0001")"},
      {"reasoning_trace_json", R"("[]")"},
      {"output", R"("out")"},
      {"human_delta_chain_json",
       R"("{\"chain_id\":\"c\",\"agent_decision_ref\":\"a\",\"resolved\":false,\"terminal_node\":\"t\"}")"},
      {"core_insight_json", "null"},
  };
  std::string line = "{";
  for (const auto& [name, text] : members) {
    if (line.size() > 1) line += ",";
    line += "\"" + name + "\":" + (name == member ? value : text);
  }
  return line + "}";
}

TEST(RecordReader, ReadsTheMembersExactly) {
  logread::RecordReader reader;
  logread::RecordFields fields;
  ASSERT_EQ(reader.read(record_line(), false, fields), "");
  EXPECT_EQ(fields.id, "oxa_0f8e4c0a-1b2c-4d5e-8f90-a1b2c3d4e5f6");
  Hash32 all_aa;
  all_aa.fill(0xaa);
  EXPECT_EQ(fields.hash, all_aa);
  EXPECT_EQ(fields.signature[63], 63);
  EXPECT_EQ(fields.coherence, 0.9104000000000001);
  EXPECT_EQ(fields.reputation, 1e-7);
  EXPECT_EQ(fields.provenance, "m\n");
  EXPECT_EQ(fields.place, "é");
  EXPECT_EQ(fields.prompt, "line\nfeed \x01");
  EXPECT_FALSE(fields.core_insight_json.has_value());
  // Padded reading in place gives the same.
  std::string padded = record_line() + std::string(logread::RecordReader::padding, 'x');
  logread::RecordFields again;
  ASSERT_EQ(reader.read(std::string_view(padded.data(), padded.size() - logread::RecordReader::padding), true, again), "");
  EXPECT_EQ(again.prompt, fields.prompt);
}

// The line with the names of two members exchanged (their values stay in place).
std::string swapped_names(const std::string& a, const std::string& b) {
  std::string line = record_line();
  const std::size_t at_a = line.find(a);
  line.replace(at_a, a.size(), "#");
  const std::size_t at_b = line.find(b);
  line.replace(at_b, b.size(), a);
  line.replace(line.find('#'), 1, b);
  return line;
}

struct Bad {
  const char* name;
  std::string line;
};

class RecordReaderRefuses : public ::testing::TestWithParam<Bad> {};

TEST_P(RecordReaderRefuses, Line) {
  logread::RecordReader reader;
  logread::RecordFields fields;
  EXPECT_NE(reader.read(GetParam().line, false, fields), "") << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordReaderRefuses,
    ::testing::Values(
        Bad{"empty", ""}, Bad{"not_json", "{not json"}, Bad{"array", "[1]"},
        Bad{"trailing_text", record_line() + " x"}, Bad{"carriage_return", record_line() + "\r"},
        Bad{"leading_space", " " + record_line()}, Bad{"two_objects", record_line() + record_line()},
        Bad{"missing_member", "{\"id\":\"oxa_\"}"},
        Bad{"members_swapped", swapped_names("\"ctx_json\":", "\"prompt\":")},
        Bad{"id_shape", record_line("id", "\"oxa_0f8e4c0a_1b2c-4d5e-8f90-a1b2c3d4e5f6\"")},
        Bad{"id_upper_case", record_line("id", "\"oxa_0F8E4C0A-1B2C-4D5E-8F90-A1B2C3D4E5F6\"")},
        Bad{"timestamp_zone", record_line("timestamp", "\"2026-12-06T17:52:01Z\"")},
        Bad{"negative_nanos", record_line("monotonic_nanos", "-1")},
        Bad{"float_nanos", record_line("monotonic_nanos", "1.5")},
        Bad{"hash_upper_case", record_line("hash", "\"" + std::string(64, 'A') + "\"")},
        Bad{"hash_short", record_line("hash", "\"" + std::string(62, 'a') + "\"")},
        // One digit wrong among good ones: the first, the last, the byte after 'f' and one above 0x7f.
        Bad{"hash_first_digit_upper_case", record_line("hash", "\"B" + std::string(63, 'b') + "\"")},
        Bad{"root_last_digit_g", record_line("merkle_root", "\"" + std::string(63, '0') + "g\"")},
        Bad{"root_backtick", record_line("merkle_root", "\"" + std::string(31, '1') + "`" + std::string(32, '1') + "\"")},
        Bad{"root_non_ascii", record_line("merkle_root", "\"" + std::string(62, '9') + "\u00e9\"")},
        Bad{"signature_63", record_line("signature", "[1,2,3]")},
        Bad{"signature_256", record_line("signature", signature_text(256))},
        Bad{"signature_negative", record_line("signature", signature_text(-1))},
        Bad{"coherence_string", record_line("coherence_score", "\"0.5\"")},
        Bad{"coherence_integer", record_line("coherence_score", "1")},
        Bad{"ppp_not_json", record_line("ppp_json", "\"{\"")},
        Bad{"ppp_missing_purpose", record_line("ppp_json", R"("{\"provenance\":\"m\",\"place\":\"p\"}")")},
        Bad{"ppp_number", record_line("ppp_json", R"("{\"provenance\":1,\"place\":\"p\",\"purpose\":\"u\"}")")},
        Bad{"review_resolved_string",
            record_line("human_delta_chain_json",
                        R"("{\"chain_id\":\"c\",\"agent_decision_ref\":\"a\",\"resolved\":\"no\",\"terminal_node\":\"t\"}")")},
        Bad{"insight_number", record_line("core_insight_json", "3")},
        Bad{"prompt_null", record_line("prompt", "null")},
        Bad{"invalid_utf8", record_line("output", "\"\xff\"")}),
    [](const ::testing::TestParamInfo<Bad>& info) { return std::string(info.param.name); });

TEST(KeyReading, DerivesThePublicKeyAndRefusesAnythingButThirtyTwoBytes) {
  TempDir dir;
  const std::string seed(32, '\x07');
  write_file(dir / "good.key", seed);
  const PublicKey key = read_public_key_from_key_file(dir / "good.key");
  EXPECT_EQ(key, SigningKey(SigningSeed{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                        7, 7, 7, 7, 7, 7, 7})
                     .public_key());
  write_file(dir / "short.key", seed.substr(1));
  write_file(dir / "long.key", seed + "x");
  write_file(dir / "empty.key", "");
  ASSERT_EQ(::mkfifo((dir / "fifo.key").c_str(), 0600), 0);
  ::mkdir((dir / "dir.key").c_str(), 0700);
  for (const char* name : {"short.key", "long.key", "empty.key", "fifo.key", "dir.key", "missing.key"}) {
    try {
      read_public_key_from_key_file(dir / name);
      ADD_FAILURE() << name;
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(dir / name), std::string::npos);
    }
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"good.key", "short.key", "long.key", "empty.key", "fifo.key",
                                                   "dir.key"}));
}

TEST(KeyReading, HexOfTheWrongFormIsAUsageError) {
  EXPECT_EQ(parse_hex32(std::string(64, 'F'), "key")[31], 0xff);
  for (const std::string& text : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'g'), std::string()}) {
    EXPECT_THROW(parse_hex32(text, "key"), UsageError) << text;
  }
}

}  // namespace
}  // namespace oxa::verify
