#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/dense.hpp"
#include "engine/engine.hpp"
#include "engine/failure.hpp"
#include "engine/tableau_group.hpp"

// Layout, version 1 (integers marked varint are LEB128, at most 10 bytes):
//   "LUMORA", version byte, flags byte (bit 0: a seeded stream follows;
//     bit 1, only with bit 0: its preview count follows, which is not 0;
//     bit 2: groups kept as tableaux follow the edges)
//   varint n
//   [seeded] 32 key bytes, varint next block, byte of words used (0..64)
//   [previews] varint preview count
//   n bytes: each qubit's vertex operator (0..23)
//   for each qubit q in order: varint count of neighbours above q, then
//     those neighbours ascending as varint gaps (the first from q), each >= 1
//   [tableaux] varint count of groups (>= 1), then for each group, in the
//     order of their lowest members: varint size k (>= 1), k varint
//     members in the tableau's order (each with no edges above), then k
//     generators of ceil(2k / 8) bytes (bits x_0 z_0 x_1 z_1 ..., low bit
//     first) and ceil(k / 8) bytes of signs, unused bits 0
//   CRC-32 (IEEE) of everything before it, 4 bytes little-endian
// Each edge is written once, at its lower end, so symmetry holds by
// construction; gaps >= 1 rule out duplicates and self-loops.

namespace lumora {

namespace {

constexpr char kMagic[6] = {'L', 'U', 'M', 'O', 'R', 'A'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kSeededFlag = 1;
constexpr std::uint8_t kPreviewsFlag = 2;
constexpr std::uint8_t kTableauxFlag = 4;

constexpr auto kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}();

std::uint32_t crc32(std::string_view bytes) noexcept {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

[[noreturn]] void reject(const std::string& why) {
    throw InvalidData("invalid Lumora pickle: " + why);
}

// Reads the body (between the header and the checksum) front to back.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t left() const noexcept { return bytes_.size() - at_; }

    std::uint8_t byte() {
        if (at_ >= bytes_.size()) {
            reject("truncated data");
        }
        return static_cast<std::uint8_t>(bytes_[at_++]);
    }

    // A varint no larger than `limit`; `what` names it in the message.
    std::uint64_t varint(std::uint64_t limit, const char* what) {
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = byte();
            if (shift == 63 && b > 1) {
                reject(std::string(what) + " out of range");
            }
            value |= std::uint64_t{b & 0x7Fu} << shift;
            if ((b & 0x80) == 0) {
                // The shortest form only, so that each state has one encoding.
                if (b == 0 && shift != 0) {
                    reject(std::string("non-canonical ") + what);
                }
                break;
            }
        }
        if (value > limit) {
            reject(std::string(what) + " out of range");
        }
        return value;
    }

    std::size_t position() const noexcept { return at_; }
    void rewind(std::size_t to) noexcept { at_ = to; }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

}  // namespace

void encode_state(const GraphState& s, const SeededStream::Position* stream, std::string& out) {
    const std::size_t n = s.size();
    const std::size_t start = out.size();
    out.append(kMagic, sizeof(kMagic));
    out.push_back(static_cast<char>(kVersion));
    const bool previews = stream != nullptr && stream->previews != 0;
    // Each tableau once, in the order of its lowest member.
    std::vector<const TableauBlock*> tableaux;
    std::unordered_set<const TableauBlock*> listed;
    for (std::size_t q = 0; q < n; ++q) {
        const TableauBlock* block = tableau_of(s.node(static_cast<Qubit>(q)));
        if (block != nullptr && listed.insert(block).second) {
            tableaux.push_back(block);
        }
    }
    out.push_back(static_cast<char>((stream != nullptr ? kSeededFlag : 0) |
                                    (previews ? kPreviewsFlag : 0) |
                                    (tableaux.empty() ? 0 : kTableauxFlag)));
    put_varint(out, n);
    if (stream != nullptr) {
        out.append(reinterpret_cast<const char*>(stream->key.data()), stream->key.size());
        put_varint(out, stream->next_block);
        out.push_back(static_cast<char>(stream->used));
        if (previews) {
            put_varint(out, stream->previews);
        }
    }
    for (std::size_t q = 0; q < n; ++q) {
        out.push_back(static_cast<char>(s.node(static_cast<Qubit>(q)).vop));
    }
    std::vector<Qubit> above;
    PollCounter poll;
    for (std::size_t q = 0; q < n; ++q) {
        const Node& node = s.node(static_cast<Qubit>(q));
        poll.tick(1 + node.degree);
        above.clear();
        if (node.kind != SetKind::tableau) {
            for_each_neighbor(node, [&](Qubit w) {
                if (w > q) {
                    above.push_back(w);
                }
            });
        }
        sort_polled(above);
        put_varint(out, above.size());
        std::size_t previous = q;
        for (Qubit w : above) {
            put_varint(out, w - previous);
            previous = w;
        }
    }
    if (!tableaux.empty()) {
        put_varint(out, tableaux.size());
    }
    for (const TableauBlock* block : tableaux) {
        const std::uint32_t k = static_cast<std::uint32_t>(block->members.size());
        put_varint(out, k);
        for (Qubit q : block->members) {
            put_varint(out, q);
        }
        std::string bits((2 * std::size_t{k} + 7) / 8, '\0');
        for (std::size_t r = 0; r < k; ++r) {
            poll.tick(k);
            std::fill(bits.begin(), bits.end(), '\0');
            for (std::uint32_t j = 0; j < k; ++j) {
                const int letter = block->tableau.letter(r, j);
                bits[(2 * j) / 8] =
                    static_cast<char>(bits[(2 * j) / 8] | ((letter & 1) << (2 * j % 8)));
                bits[(2 * j + 1) / 8] =
                    static_cast<char>(bits[(2 * j + 1) / 8] | ((letter >> 1) << ((2 * j + 1) % 8)));
            }
            out += bits;
        }
        std::string signs((std::size_t{k} + 7) / 8, '\0');
        for (std::size_t r = 0; r < k; ++r) {
            if (block->tableau.minus(r)) {
                signs[r / 8] = static_cast<char>(signs[r / 8] | (1 << (r % 8)));
            }
        }
        out += signs;
    }
    const std::uint32_t crc = crc32(std::string_view(out).substr(start));
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(crc >> (8 * i)));
    }
}

Decoded decode_state(std::string_view bytes) {
    constexpr std::size_t kHeader = sizeof(kMagic) + 2;
    const std::size_t compared = std::min(bytes.size(), sizeof(kMagic));
    if (std::memcmp(bytes.data(), kMagic, compared) != 0) {
        reject("not a lumora state");
    }
    if (bytes.size() < kHeader) {
        reject("truncated data");
    }
    const std::uint8_t version = static_cast<std::uint8_t>(bytes[sizeof(kMagic)]);
    if (version != kVersion) {
        reject("unsupported version " + std::to_string(version));
    }
    if (bytes.size() < kHeader + 4) {
        reject("truncated data");
    }
    const std::string_view checked = bytes.substr(0, bytes.size() - 4);
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) {
        stored |= std::uint32_t{static_cast<std::uint8_t>(bytes[checked.size() + i])} << (8 * i);
    }
    if (crc32(checked) != stored) {
        reject("checksum mismatch (truncated or corrupted data)");
    }
    const std::uint8_t flags = static_cast<std::uint8_t>(bytes[sizeof(kMagic) + 1]);
    if ((flags & ~(kSeededFlag | kPreviewsFlag | kTableauxFlag)) != 0 ||
        (flags & (kSeededFlag | kPreviewsFlag)) == kPreviewsFlag) {
        reject("unknown flags");
    }

    Reader in(checked.substr(kHeader));
    const std::size_t n = in.varint(kMaxQubits, "qubit count");
    Decoded decoded;
    if ((flags & kSeededFlag) != 0) {
        SeededStream::Position at{};
        for (auto& b : at.key) {
            b = in.byte();
        }
        at.next_block = in.varint(~std::uint64_t{0}, "stream position");
        at.used = in.byte();
        if (!SeededStream::valid(at)) {
            reject("stream position out of range");
        }
        if ((flags & kPreviewsFlag) != 0) {
            at.previews = in.varint(~std::uint64_t{0}, "preview count");
            if (at.previews == 0) {
                reject("non-canonical preview count");
            }
        }
        decoded.stream = at;
    }
    // Every qubit takes at least two bytes (operator, count): checked
    // before anything of the qubits' size is allocated.
    if (in.left() / 2 < n) {
        reject("truncated data");
    }
    const std::size_t operators_at = in.position();
    for (std::size_t q = 0; q < n; ++q) {
        if (in.byte() >= kLcCount) {
            reject("vertex operator out of range at qubit " + std::to_string(q));
        }
    }
    // First pass: check the edges and count each qubit's degree.
    const std::size_t edges_at = in.position();
    std::vector<std::uint32_t> degree(n, 0);
    PollCounter poll;
    for (std::size_t q = 0; q < n; ++q) {
        const std::uint64_t count = in.varint(n - 1 - q, "neighbour count");
        poll.tick(1 + count);
        if (count > in.left()) {
            reject("truncated data");
        }
        std::uint64_t w = q;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t gap = in.varint(n, "neighbour");
            w += gap;
            if (gap == 0 || w >= n) {
                reject((gap == 0 ? "repeated neighbour at qubit "
                                 : "neighbour out of range at qubit ") +
                       std::to_string(q));
            }
            ++degree[q];
            ++degree[w];
        }
    }
    // The groups kept as tableaux: checked whole before any is built.
    struct Group {
        std::vector<Qubit> members;
        std::vector<std::uint8_t> letters;  // k x k, x + 2 z
        std::vector<std::uint8_t> minus;
    };
    std::vector<Group> groups;
    if ((flags & kTableauxFlag) != 0) {
        const std::uint64_t count = in.varint(n, "tableau count");
        if (count == 0) {
            reject("non-canonical tableau count");
        }
        std::vector<bool> member(n, false);
        std::size_t previous_lowest = 0;
        for (std::uint64_t g = 0; g < count; ++g) {
            const std::uint64_t k = in.varint(n, "tableau size");
            // k members and k rows of 2k bits must be there.
            if (k == 0 || k > in.left() || (2 * k + 7) / 8 > in.left() / k) {
                reject(k == 0 ? "empty tableau" : "truncated data");
            }
            Group group;
            group.members.reserve(k);
            for (std::uint64_t i = 0; i < k; ++i) {
                const std::uint64_t q = in.varint(n - 1, "tableau member");
                if (member[q] || degree[q] != 0) {
                    reject("tableau member " + std::to_string(q) +
                           (member[q] ? " listed twice" : " has edges"));
                }
                member[q] = true;
                group.members.push_back(static_cast<Qubit>(q));
            }
            const std::size_t lowest =
                *std::min_element(group.members.begin(), group.members.end());
            if (g != 0 && lowest <= previous_lowest) {
                reject("tableaux out of order");
            }
            previous_lowest = lowest;
            group.letters.resize(k * k);
            for (std::uint64_t r = 0; r < k; ++r) {
                poll.tick(k);
                for (std::uint64_t b = 0; b < (2 * k + 7) / 8; ++b) {
                    const std::uint8_t byte = in.byte();
                    for (int bit = 0; bit < 8; ++bit) {
                        const std::uint64_t at = 8 * b + bit;
                        if (((byte >> bit) & 1) == 0) {
                            continue;
                        }
                        if (at >= 2 * k) {
                            reject("unused tableau bits set");
                        }
                        group.letters[r * k + at / 2] |= static_cast<std::uint8_t>(1 << (at % 2));
                    }
                }
            }
            group.minus.resize(k);
            for (std::uint64_t b = 0; b < (k + 7) / 8; ++b) {
                const std::uint8_t byte = in.byte();
                for (int bit = 0; bit < 8; ++bit) {
                    if (((byte >> bit) & 1) != 0) {
                        if (8 * b + bit >= k) {
                            reject("unused tableau bits set");
                        }
                        group.minus[8 * b + bit] = 1;
                    }
                }
            }
            groups.push_back(std::move(group));
        }
    }
    if (in.left() != 0) {
        reject("trailing bytes");
    }
    // Each tableau must stabilize one state.
    std::vector<std::unique_ptr<TableauBlock>> blocks;
    for (const Group& group : groups) {
        const std::uint32_t k = static_cast<std::uint32_t>(group.members.size());
        auto block =
            std::make_unique<TableauBlock>(Tableau(k, group.letters.data(), group.minus.data()));
        poll.tick(std::uint64_t{k} * k);
        if (!block->tableau.valid()) {
            reject("a tableau whose generators do not commute or are not independent");
        }
        block->members = group.members;
        blocks.push_back(std::move(block));
    }
    // Second pass: build the sets, each with room for its degree.
    decoded.state = create(n);
    GraphState& s = decoded.state;
    in.rewind(operators_at);
    for (std::size_t q = 0; q < n; ++q) {
        const LcOp vop = in.byte();
        if (degree[q] != 0) {
            Node set = empty_set_for(degree[q], n);
            s.node(static_cast<Qubit>(q)) = set;
        }
        s.node(static_cast<Qubit>(q)).vop = vop;
    }
    in.rewind(edges_at);
    for (std::size_t q = 0; q < n; ++q) {
        const std::uint64_t count = in.varint(n, "neighbour count");
        poll.tick(1 + count);
        std::uint64_t w = q;
        for (std::uint64_t i = 0; i < count; ++i) {
            w += in.varint(n, "neighbour");
            insert_reserved(s.node(static_cast<Qubit>(q)), static_cast<Qubit>(w));
            insert_reserved(s.node(static_cast<Qubit>(w)), static_cast<Qubit>(q));
        }
    }
    for (auto& block : blocks) {
        TableauBlock* kept = block.release();
        for (Qubit local = 0; local < kept->members.size(); ++local) {
            Node& node = s.node(kept->members[local]);
            node.kind = SetKind::tableau;
            node.tableau.block = kept;
            node.tableau.local = local;
        }
        kept->refs = static_cast<std::uint32_t>(kept->members.size());
    }
    // Groups that are dense go back into blocks, as the running state
    // would have them.
    for (std::size_t q = 0; q < n; ++q) {
        reshape_at(s, static_cast<Qubit>(q));
    }
    return decoded;
}

}  // namespace lumora
