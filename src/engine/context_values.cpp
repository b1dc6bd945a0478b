#include "engine/context_values.hpp"

#include "store/json_writer.hpp"

namespace oxa {

void append_ppp_json(std::string& out, const PPPTripletValues& triplet) {
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
