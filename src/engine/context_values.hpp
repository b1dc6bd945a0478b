#pragma once

#include <string>

namespace oxa {

// Where a decision's data came from, where it was processed and what it was for.
struct PPPTripletValues {
  std::string provenance;
  std::string place;
  std::string purpose;
};

// A decision's link to its human review. Field order is the key order of its JSON text.
struct HumanDeltaChainValues {
  std::string chain_id;
  std::string agent_decision_ref;
  bool resolved = false;
  std::string terminal_node;
};

// {"provenance":P,"place":L,"purpose":U}
void append_ppp_json(std::string& out, const PPPTripletValues& triplet);

// {"chain_id":C,"agent_decision_ref":A,"resolved":R,"terminal_node":T}
void append_human_delta_chain_json(std::string& out, const HumanDeltaChainValues& chain);

}  // namespace oxa
