#include "notary/tile_proofs.hpp"

#include "notary/checkpoint.hpp"
#include "notary/notary_commands.hpp"
#include "tlog/tiles.hpp"

namespace oxa::notary {

bool tiles_give_frontier(const std::string& directory, std::uint64_t size, const std::vector<TreeHash>& frontier) {
  try {
    tlog::TileReader reader(directory, size);
    return reader.frontier() == frontier;
  } catch (const tlog::TileError&) {
    return false;
  }
}

std::vector<TreeHash> consistency_from_tiles(const std::string& directory, std::uint64_t old_size,
                                             std::uint64_t new_size) {
  if (old_size > new_size)
    throw NotaryInputError("the old size " + std::to_string(old_size) + " is larger than the new size " +
                           std::to_string(new_size));
  const std::string path = directory + "/" + std::string(tlog::checkpoint_file_name);
  std::string note;
  try {
    if (!tlog::read_published_checkpoint(directory, note)) throw NotaryInputError("tiles: " + path + " does not exist");
  } catch (const tlog::TileError& error) {
    throw NotaryInputError(std::string("tiles: ") + error.what());
  }
  const std::size_t blank = note.find("\n\n");
  CheckpointBody body;
  if (blank == std::string::npos || !parse_checkpoint_body(note.substr(0, blank + 1), body).empty())
    throw NotaryInputError("tiles: " + path + " is not a signed checkpoint");
  if (new_size > body.size)
    throw NotaryInputError("the new size " + std::to_string(new_size) + " is beyond the latest checkpoint's " +
                           std::to_string(body.size));
  try {
    tlog::TileReader reader(directory, body.size);
    if (reader.root() != body.root)
      throw NotaryInputError("tiles: " + directory + " does not give the root of its checkpoint");
    return reader.consistency_proof(old_size, new_size);
  } catch (const tlog::TileError& error) {
    throw NotaryInputError(std::string("tiles: ") + error.what());
  }
}

}  // namespace oxa::notary
