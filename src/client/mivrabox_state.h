// Box state: the snapshot of one bus that every non-negative MivraBox reply carries as "state".
#pragma once

#include <cstdint>
#include <xmlrpc-c/base.h>

#include "text.h"

struct mivrabox_state {
    int f_running = 0;
    int64_t amend = 0;  // playlist revision
    int64_t count = 0;
    text32 time;
    int64_t er[5] = {};  // replies about one event: flags, sys_id, start
    btext<33> curr_remain;
    btext<33> ply_remain;
    int lib_queued_count = 0;
    int lib_absent_count = 0;
    int lib_present_count = 0;
    int ply_stat_flag_range = 0;
    int ply_stat_flag_subclip = 0;
    // Filled by the single-player daemon only.
    btext<33> absent_remain;
    text4k last_playlist;
    btext<33> type_C_remain;
    btext<33> type_L_remain;
    btext<33> fixed_time_remain;
    btext<33> ply_hash;
};

// The 18-member struct of the state, owned by the caller; null with the fault in env.
// Bytes that are not UTF-8 are sent as '?', since xmlrpc-c refuses such strings.
xmlrpc_value *mivrabox_state_compose(xmlrpc_env *env, const mivrabox_state *state);
// Decodes a state struct into *state (zeroed first); 0, or -14 with the failure on stderr.
int mivrabox_state_decompose(xmlrpc_env *env, xmlrpc_value *st, mivrabox_state *state);
// Decodes the member "state" of a reply struct; 0 or -14.
int mivrabox_state_probe_decompose(xmlrpc_env *env, xmlrpc_value *reply, mivrabox_state *state);
