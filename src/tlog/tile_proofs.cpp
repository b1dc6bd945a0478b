#include "tlog/tile_proofs.hpp"

#include "common/unusable_input_error.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/tiles.hpp"

namespace oxa::tlog {

bool tiles_give_frontier(const std::string& directory, std::uint64_t size, const std::vector<TreeHash>& frontier) {
  try {
    TileReader reader(directory, size);
    return reader.frontier() == frontier;
  } catch (const TileError&) {
    return false;
  }
}

std::vector<TreeHash> consistency_from_tiles(const std::string& directory, std::uint64_t old_size,
                                             std::uint64_t new_size) {
  if (old_size > new_size)
    throw UnusableInputError("the old size " + std::to_string(old_size) + " is larger than the new size " +
                           std::to_string(new_size));
  const std::string path = directory + "/" + std::string(checkpoint_file_name);
  std::string note;
  try {
    if (!read_published_checkpoint(directory, note)) throw UnusableInputError("tiles: " + path + " does not exist");
  } catch (const TileError& error) {
    throw UnusableInputError(std::string("tiles: ") + error.what());
  }
  const std::size_t blank = note.find("\n\n");
  CheckpointBody body;
  if (blank == std::string::npos || !parse_checkpoint_body(note.substr(0, blank + 1), body).empty())
    throw UnusableInputError("tiles: " + path + " is not a signed checkpoint");
  if (new_size > body.size)
    throw UnusableInputError("the new size " + std::to_string(new_size) + " is beyond the latest checkpoint's " +
                           std::to_string(body.size));
  try {
    TileReader reader(directory, body.size);
    if (reader.root() != body.root)
      throw UnusableInputError("tiles: " + directory + " does not give the root of its checkpoint");
    return reader.consistency_proof(old_size, new_size);
  } catch (const TileError& error) {
    throw UnusableInputError(std::string("tiles: ") + error.what());
  }
}

}  // namespace oxa::tlog
