#include "engine/context_values.hpp"

#include "store/json_writer.hpp"

namespace oxa {

// Room for the keys and punctuation around the texts, so that building each
// JSON text allocates once in the common case of texts with nothing to escape.
constexpr std::size_t ppp_json_overhead = 48;
constexpr std::size_t human_delta_chain_json_overhead = 80;

void append_ppp_json(std::string& out, const PPPTripletValues& triplet) {
  out.reserve(out.size() + ppp_json_overhead + triplet.provenance.size() + triplet.place.size() +
              triplet.purpose.size());
  json::begin_object(out);
  json::key(out, "provenance");
  json::string(out, triplet.provenance);
  json::separator(out);
  json::key(out, "place");
  json::string(out, triplet.place);
  json::separator(out);
  json::key(out, "purpose");
  json::string(out, triplet.purpose);
  json::end_object(out);
}

void append_human_delta_chain_json(std::string& out, const HumanDeltaChainValues& chain) {
  out.reserve(out.size() + human_delta_chain_json_overhead + chain.chain_id.size() +
              chain.agent_decision_ref.size() + chain.terminal_node.size());
  json::begin_object(out);
  json::key(out, "chain_id");
  json::string(out, chain.chain_id);
  json::separator(out);
  json::key(out, "agent_decision_ref");
  json::string(out, chain.agent_decision_ref);
  json::separator(out);
  json::key(out, "resolved");
  json::boolean(out, chain.resolved);
  json::separator(out);
  json::key(out, "terminal_node");
  json::string(out, chain.terminal_node);
  json::end_object(out);
}

}  // namespace oxa
