// One mutating operation on the state, undone unless it commits, and the
// clean-up every operation ends with.
#pragma once

#include <cstddef>

#include "engine/dense.hpp"
#include "engine/dense_rows.hpp"
#include "engine/editor.hpp"
#include "engine/records.hpp"
#include "engine/state.hpp"
#include "engine/workspace.hpp"

namespace lumora {

// The clean-up after an operation, vertex by vertex: a sparse set that
// shrank takes a smaller form, and, when `groups` is set, a group whose
// density changed moves between sparse sets and a block (one look per
// block). Every operation ends with it: commits, and the quick paths that
// skip the journal.
class Settle {
public:
    Settle(GraphState& s, bool groups) noexcept : s_(s), groups_(groups) {}

    void operator()(Qubit x) noexcept {
        Node& node = s_.node(x);
        if (node.kind == SetKind::dense) {
            if (groups_ && node.dense.block != last_block_) {
                last_block_ = node.dense.block;
                reshape_at(s_, x);
            }
            return;
        }
        compact(node, s_.size());
        if (groups_) {
            reshape_at(s_, x);
        }
    }

private:
    GraphState& s_;
    bool groups_;
    const DenseBlock* last_block_ = nullptr;
};

// One mutating operation on the state. Every change goes into the
// workspace's journal; unless commit() is reached the destructor undoes
// them all, newest first, so a failure anywhere (out of memory, an
// interrupt) leaves the state exactly as it was.
//
// Undoing never needs memory: sets never give storage back during an
// operation, so each set passes on the way back only through sizes it
// already held, in forms at least as large.
class Transaction {
public:
    explicit Transaction(GraphState& s)
        : s_(s), work_(s.workspace()), nodes_(s), editor_(nodes_, work_) {
        work_.toggles.clear();
        work_.vops.clear();
        work_.row_xors.clear();
        work_.column_flips.clear();
        work_.patterns.clear();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (!committed_) {
            roll_back();
        }
    }

    Editor<DirectNodes>& editor() noexcept { return editor_; }

    // Keeps the changes, then settles every vertex they touched.
    void commit() noexcept {
        Settle settle(s_, true);
        Qubit last = kNoQubit;
        for (const ToggleRecord& r : work_.toggles) {
            // Bulk updates journal one vertex's changes together.
            if (r.x != last) {
                last = r.x;
                settle(r.x);
            }
        }
        for (const RowRecord& r : work_.row_xors) {
            settle(r.x);
        }
        for (const RowRecord& r : work_.column_flips) {
            settle(r.x);
        }
        finish();
    }

private:
    void roll_back() noexcept {
        for (std::size_t i = work_.column_flips.size(); i-- > 0;) {
            const RowRecord& r = work_.column_flips[i];
            flip_column_of(nodes_, s_.node(r.x), work_.patterns.begin() + r.offset);
        }
        for (std::size_t i = work_.row_xors.size(); i-- > 0;) {
            const RowRecord& r = work_.row_xors[i];
            xor_pattern(s_.node(r.x), work_.patterns.begin() + r.offset, r.self != 0);
        }
        for (std::size_t i = work_.toggles.size(); i-- > 0;) {
            const ToggleRecord& r = work_.toggles[i];
            Node& node = s_.node(r.x);
            if (node.kind == SetKind::dense) {
                flip_dense(node, s_.node(r.y));
            } else if (contains(node, r.y)) {
                erase(node, r.y);
            } else {
                if (!has_room(node, 1)) {
                    unreachable("undoing a change needs memory");
                }
                insert_reserved(node, r.y);
            }
        }
        for (std::size_t i = work_.vops.size(); i-- > 0;) {
            s_.node(work_.vops[i].v).vop = work_.vops[i].old;
        }
        finish();
        // A failure early in a large operation leaves large scratch behind
        // with a short journal.
        work_.trim();
    }

    void finish() noexcept {
        // Only an operation that changed much can have grown the scratch.
        const bool large =
            work_.toggles.size() + work_.vops.size() + work_.patterns.size() > Workspace::kKeep / 4;
        work_.toggles.clear();
        work_.vops.clear();
        work_.row_xors.clear();
        work_.column_flips.clear();
        work_.patterns.clear();
        if (large) {
            work_.trim();
        }
        committed_ = true;
    }

    GraphState& s_;
    Workspace& work_;
    DirectNodes nodes_;
    Editor<DirectNodes> editor_;
    bool committed_ = false;
};

}  // namespace lumora
