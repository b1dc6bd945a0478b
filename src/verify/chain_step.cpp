#include "verify/chain_step.hpp"

#include <cstring>

#include "common/hex_text.hpp"

// The vector helpers below are always inlined, so no vector value crosses a
// call whose ABI the wider types would change: GCC's note about it is noise.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace oxa::verify {

namespace {

constexpr std::array<std::uint32_t, 8> blake3_iv = {0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                                                    0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u};
constexpr std::uint32_t chunk_start = 1u << 0;
constexpr std::uint32_t chunk_end = 1u << 1;
constexpr std::uint32_t root_flag = 1u << 3;
constexpr std::uint32_t block_bytes = 64;
constexpr std::uint32_t last_block_bytes = 16;  // 144 bytes = 64 + 64 + 16
constexpr int rounds = 7;

// The message word each G call of round r reads: the permutation applied r times.
constexpr std::array<std::array<std::uint8_t, 16>, rounds> message_schedule = [] {
  constexpr std::array<std::uint8_t, 16> permutation = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
  std::array<std::array<std::uint8_t, 16>, rounds> schedule{};
  for (std::uint8_t i = 0; i < 16; ++i) schedule[0][i] = i;
  for (int r = 1; r < rounds; ++r) {
    for (int i = 0; i < 16; ++i) schedule[r][i] = schedule[r - 1][permutation[i]];
  }
  return schedule;
}();

std::uint32_t load_word(const char* bytes) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
}

// The compression function over any word type: std::uint32_t for one input,
// a vector of lanes for many (the operators are the same).
template <typename W>
inline __attribute__((always_inline)) W rotate_right(const W& x, int n) {
  return (x >> n) | (x << (32 - n));
}

template <typename W>
inline __attribute__((always_inline)) void mix(W* v, int a, int b, int c, int d, const W& x, const W& y) {
  v[a] = v[a] + v[b] + x;
  v[d] = rotate_right(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotate_right(v[b] ^ v[c], 12);
  v[a] = v[a] + v[b] + y;
  v[d] = rotate_right(v[d] ^ v[a], 8);
  v[c] = v[c] + v[d];
  v[b] = rotate_right(v[b] ^ v[c], 7);
}

// Compresses one block into `cv` (the first eight output words).
template <typename W>
inline __attribute__((always_inline)) void compress(W* cv, const W* m, std::uint32_t length, std::uint32_t flags) {
  W v[16];
  for (int i = 0; i < 8; ++i) v[i] = cv[i];
  for (int i = 0; i < 4; ++i) v[8 + i] = W{} + blake3_iv[i];
  v[12] = W{};  // the block counter: 0, a single chunk
  v[13] = W{};
  v[14] = W{} + length;
  v[15] = W{} + flags;
#pragma GCC unroll 7
  for (int r = 0; r < rounds; ++r) {
    const auto& s = message_schedule[r];
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) cv[i] = v[i] ^ v[i + 8];
}

// The two compressions of the step for as many prefixes as a Lanes vector
// holds; returns the mask of lanes whose output is the target's root. Lanes
// past `count` repeat the first prefix and are masked off.
template <typename Lanes>
inline __attribute__((always_inline)) std::uint32_t match_lanes(const RootPrefix* const* prefixes,
                                                                std::size_t count, const StepTarget& target) {
  constexpr std::size_t lanes = sizeof(Lanes) / sizeof(std::uint32_t);
  Lanes cv[8];
  Lanes m[16];
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    const RootPrefix& p = *prefixes[lane < count ? lane : 0];
    for (int i = 0; i < 8; ++i) cv[i][lane] = p.chaining_value[i];
    m[0][lane] = p.word0;
    m[1][lane] = p.word1;
  }
  const Lanes zero{};
  for (int i = 0; i < 14; ++i) m[2 + i] = zero + target.block2_words[i];
  compress(cv, m, block_bytes, 0);
  for (int i = 0; i < 4; ++i) m[i] = zero + target.block3_words[i];
  for (int i = 4; i < 16; ++i) m[i] = zero;
  compress(cv, m, last_block_bytes, chunk_end | root_flag);
  Lanes differ = zero;
  for (int i = 0; i < 8; ++i) differ |= cv[i] ^ target.root_words[i];
  std::uint32_t mask = 0;
  for (std::size_t lane = 0; lane < lanes && lane < count; ++lane) {
    if (differ[lane] == 0) mask |= 1u << lane;
  }
  return mask;
}

// All `count` prefixes, in groups of the vector's width.
template <typename Lanes>
inline __attribute__((always_inline)) std::uint32_t match_all(const RootPrefix* const* prefixes, std::size_t count,
                                                              const StepTarget& target) {
  constexpr std::size_t lanes = sizeof(Lanes) / sizeof(std::uint32_t);
  std::uint32_t mask = 0;
  for (std::size_t first = 0; first < count; first += lanes) {
    mask |= match_lanes<Lanes>(prefixes + first, count - first, target) << first;
  }
  return mask;
}

using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
using Lanes8 = std::uint32_t __attribute__((vector_size(32)));
using Lanes16 = std::uint32_t __attribute__((vector_size(64)));

// Baseline x86-64 (SSE2) or whatever the target's 16-byte vectors are.
std::uint32_t match_baseline(const RootPrefix* const* prefixes, std::size_t count, const StepTarget& target) {
  return match_all<Lanes4>(prefixes, count, target);
}

#if defined(__x86_64__)
// Eight lanes fill the sixteen AVX2 registers; more would spill.
__attribute__((target("avx2"))) std::uint32_t match_avx2(const RootPrefix* const* prefixes, std::size_t count,
                                                          const StepTarget& target) {
  return match_all<Lanes8>(prefixes, count, target);
}
__attribute__((target("avx512f"))) std::uint32_t match_avx512(const RootPrefix* const* prefixes,
                                                              std::size_t count, const StepTarget& target) {
  return match_all<Lanes16>(prefixes, count, target);
}
#endif

struct KernelList {
  std::array<ChainStepKernel, 3> kernels;
  std::size_t size = 0;

  void add(const char* instruction_set, MatchPrefixes run) { kernels[size++] = {instruction_set, run}; }
};

// Fastest first. The search runs on whole batches between the records'
// other checks, so the widest vectors this processor has are used.
KernelList supported_kernels() {
  KernelList list;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) list.add("avx512f", match_avx512);
  if (__builtin_cpu_supports("avx2")) list.add("avx2", match_avx2);
#endif
  list.add("baseline", match_baseline);
  return list;
}

}  // namespace

RootPrefix root_prefix(const Hash32& root) {
  char text[2 * hash_bytes];
  write_hex(text, root);
  // First block: Hash(" and the first 58 hex digits.
  char block[block_bytes];
  std::memcpy(block, "Hash(\"", 6);
  std::memcpy(block + 6, text, block_bytes - 6);
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load_word(block + 4 * i);
  RootPrefix prefix;
  std::uint32_t cv[8];
  for (int i = 0; i < 8; ++i) cv[i] = blake3_iv[i];
  compress(cv, m, block_bytes, chunk_start);
  for (int i = 0; i < 8; ++i) prefix.chaining_value[i] = cv[i];
  // The second block opens with the last 6 hex digits and ").
  char head[8];
  std::memcpy(head, text + block_bytes - 6, 6);
  std::memcpy(head + 6, "\")", 2);
  prefix.word0 = load_word(head);
  prefix.word1 = load_word(head + 4);
  return prefix;
}

StepTarget step_target(const Hash32& content_hash, const Hash32& merkle_root) {
  char text[2 * hash_bytes];
  write_hex(text, content_hash);
  // Second block after its first 8 bytes: Hash(" and 50 hex digits; third: 14 hex digits and ").
  char rest[56 + last_block_bytes];
  std::memcpy(rest, "Hash(\"", 6);
  std::memcpy(rest + 6, text, 64);
  std::memcpy(rest + 70, "\")", 2);
  StepTarget target;
  for (int i = 0; i < 14; ++i) target.block2_words[i] = load_word(rest + 4 * i);
  for (int i = 0; i < 4; ++i) target.block3_words[i] = load_word(rest + 56 + 4 * i);
  for (int i = 0; i < 8; ++i) target.root_words[i] = load_word(reinterpret_cast<const char*>(merkle_root.data()) + 4 * i);
  return target;
}

std::span<const ChainStepKernel> chain_step_kernels() {
  static const KernelList list = supported_kernels();
  return {list.kernels.data(), list.size};
}

std::uint32_t matching_prefixes(const RootPrefix* const* prefixes, std::size_t count, const StepTarget& target) {
  static const MatchPrefixes run = chain_step_kernels().front().run;
  if (count == 0) return 0;
  return run(prefixes, count > step_lanes ? step_lanes : count, target);
}

}  // namespace oxa::verify
