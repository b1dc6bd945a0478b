#include "tlog/policy.hpp"

#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "tlog/cosignature.hpp"

namespace oxa::tlog {

namespace {

constexpr std::string_view none_name = "none";

// A name in double quotes, for messages.
std::string quoted(std::string_view name) {
  std::string text(1, '"');
  text += name;
  text += '"';
  return text;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> split_items(std::string_view line) {
  std::vector<std::string_view> items;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_blank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !is_blank(line[at])) ++at;
    if (at > start) items.push_back(line.substr(start, at - start));
  }
  return items;
}

// Tab and line feed are the only control bytes a policy may hold.
bool valid_policy_bytes(std::string_view text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f) return false;
  return true;
}

std::optional<std::size_t> parse_threshold(std::string_view text) {
  if (text.empty() || text[0] == '0') return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

class PolicyParser {
 public:
  PolicyParser(PolicyScope scope, Policy& policy) : scope_(scope), policy_(policy) {}

  std::string line(std::span<const std::string_view> items) {
    const std::string_view keyword = items[0];
    if (keyword == "log") return log_line(items);
    if (scope_ == PolicyScope::logs_only) return {};
    if (keyword == "witness") return witness_line(items);
    if (keyword == "group") return group_line(items);
    if (keyword == "quorum") return quorum_line(items);
    return "unknown keyword " + quoted(keyword);
  }

  std::string finish() const {
    if (scope_ == PolicyScope::complete && !have_quorum_) return "the policy has no quorum line";
    return {};
  }

 private:
  std::string log_line(std::span<const std::string_view> items) {
    if (items.size() < 2 || items.size() > 3) return "a log line is: log <vkey> [<url>]";
    PolicyLog log;
    if (std::string error = parse_verifier_key(items[1], log.key); !error.empty())
      return "log key: " + error;
    if (!log_keys_.insert(std::string(log.key.public_key.begin(), log.key.public_key.end())).second)
      return "the log key is listed twice";
    if (items.size() == 3) log.url = std::string(items[2]);
    policy_.logs.push_back(std::move(log));
    return {};
  }

  std::string witness_line(std::span<const std::string_view> items) {
    if (items.size() < 3 || items.size() > 4) return "a witness line is: witness <name> <vkey> [<url>]";
    if (std::string error = new_name(items[1]); !error.empty()) return error;
    PolicyWitness witness;
    witness.name = std::string(items[1]);
    if (std::string error = parse_cosignature_vkey(items[2], witness.key); !error.empty())
      return "witness key: " + error;
    if (!witness_keys_.insert(std::string(witness.key.public_key.begin(), witness.key.public_key.end())).second)
      return "the witness key is listed twice";
    if (items.size() == 4) witness.url = std::string(items[3]);
    names_[witness.name] = {PolicyMember::Kind::witness, policy_.witnesses.size()};
    policy_.witnesses.push_back(std::move(witness));
    return {};
  }

  std::string group_line(std::span<const std::string_view> items) {
    if (items.size() < 4) return "a group line is: group <name> all|any|<k> <member>...";
    if (std::string error = new_name(items[1]); !error.empty()) return error;
    PolicyGroup group;
    group.name = std::string(items[1]);
    std::set<std::string_view> seen;
    for (const std::string_view member : items.subspan(3)) {
      if (member == none_name) return "\"none\" cannot be a group member";
      const auto found = names_.find(std::string(member));
      if (found == names_.end()) return quoted(member) + " is not defined on an earlier line";
      if (!seen.insert(member).second) return quoted(member) + " is listed twice in the group";
      group.members.push_back(found->second);
    }
    const std::string_view threshold = items[2];
    if (threshold == "all") {
      group.threshold = group.members.size();
    } else if (threshold == "any") {
      group.threshold = 1;
    } else {
      const auto k = parse_threshold(threshold);
      if (!k || *k > group.members.size())
        return "the group's threshold must be all, any or a number from 1 to its member count";
      group.threshold = *k;
    }
    names_[group.name] = {PolicyMember::Kind::group, policy_.groups.size()};
    policy_.groups.push_back(std::move(group));
    return {};
  }

  std::string quorum_line(std::span<const std::string_view> items) {
    if (items.size() != 2) return "a quorum line is: quorum <name>";
    if (have_quorum_) return "the policy has a second quorum line";
    have_quorum_ = true;
    if (items[1] == none_name) {
      policy_.quorum_none = true;
      return {};
    }
    const auto found = names_.find(std::string(items[1]));
    if (found == names_.end()) return quoted(items[1]) + " is not defined on an earlier line";
    policy_.quorum = found->second;
    return {};
  }

  std::string new_name(std::string_view name) const {
    if (name == none_name) return "\"none\" is a reserved name";
    if (names_.count(std::string(name))) return "the name " + quoted(name) + " is defined twice";
    return {};
  }

  PolicyScope scope_;
  Policy& policy_;
  std::map<std::string, PolicyMember> names_;
  std::set<std::string> log_keys_;
  std::set<std::string> witness_keys_;
  bool have_quorum_ = false;
};

}  // namespace

std::string parse_policy(std::string_view text, PolicyScope scope, Policy& out) {
  if (!valid_policy_bytes(text)) return "the policy holds a control character other than tab and line feed";
  Policy policy;
  PolicyParser parser(scope, policy);
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const auto items = split_items(line);
    if (items.empty() || items[0][0] == '#') continue;
    if (std::string error = parser.line(items); !error.empty())
      return "line " + std::to_string(number) + ": " + error;
  }
  if (std::string error = parser.finish(); !error.empty()) return error;
  out = std::move(policy);
  return {};
}

bool quorum_met(const Policy& policy, std::span<const bool> cosigned) {
  if (policy.quorum_none) return true;
  // Groups refer only to earlier names, so one pass in order settles each.
  std::vector<bool> group_met(policy.groups.size(), false);
  const auto met = [&](const PolicyMember& member) {
    if (member.kind == PolicyMember::Kind::group) return bool(group_met[member.index]);
    return member.index < cosigned.size() && cosigned[member.index];
  };
  for (std::size_t g = 0; g < policy.groups.size(); ++g) {
    std::size_t count = 0;
    for (const PolicyMember& member : policy.groups[g].members) count += met(member) ? 1 : 0;
    group_met[g] = count >= policy.groups[g].threshold;
  }
  return met(policy.quorum);
}

}  // namespace oxa::tlog
