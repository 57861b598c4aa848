// Client side of the MivraBox control interface of the automation daemons: one function per
// method, each taking the daemon's URL ("http://host:port/RPC2") and a bus index first and
// filling the caller's state record from the reply's "state".
//
// Results: the daemon's "result" passed on (a negative one is written on standard error with
// its errno text), -14 when the call or the decoding of its reply failed, -22 for unusable
// arguments and for an event line that cannot be sent or read. Calls go through the pooled
// client of mivra.h (mivra_init first). A null state pointer is allowed: the state is dropped.
#pragma once

#include <cstdint>

#include "mivrabox_event.h"
#include "mivrabox_lib.h"
#include "mivrabox_state.h"

// Bus state only: 0 when "state" decodes, else -14 (the record stays zeroed then).
int mivrabox_get_state(const char *url, int bus, mivrabox_state *state);
int mivrabox_run(const char *url, int bus, int f_running, mivrabox_state *state);

// The event travels compressed (mivrabox_body.h). pos is the index, or the sys_id for the
// calls ending in 2 (-1 appends), passed through unchanged. A line longer than the body holds
// is refused with -22 before any call.
int mivrabox_insert_event(const char *url, int bus, const mivrabox_event *ev, int64_t pos,
                          mivrabox_state *state);
int mivrabox_insert_event2(const char *url, int bus, const mivrabox_event *ev, int64_t sys_id,
                           mivrabox_state *state);
int mivrabox_update_event(const char *url, int bus, const mivrabox_event *ev, int64_t pos,
                          mivrabox_state *state);
int mivrabox_update_event2(const char *url, int bus, const mivrabox_event *ev, int64_t sys_id,
                           mivrabox_state *state);

// n indexes or sys_ids, each sent as a one-element array of a 64-bit int.
int mivrabox_delete_events(const char *url, int bus, int n, const int64_t *indexes,
                           mivrabox_state *state);
int mivrabox_delete_events2(const char *url, int bus, int n, const int64_t *sys_ids,
                            mivrabox_state *state);
int mivrabox_reset_events_tc(const char *url, int bus, int n, const int64_t *sys_ids,
                             mivrabox_state *state);

int mivrabox_append_playlist(const char *url, int bus, const char *name, mivrabox_state *state);
int mivrabox_load_playlist(const char *url, int bus, const char *name, mivrabox_state *state);
int mivrabox_save_playlist(const char *url, int bus, const char *name, mivrabox_state *state);
int mivrabox_truncate_playlist(const char *url, int bus, int64_t sys_id, int below,
                               mivrabox_state *state);
int mivrabox_close_playlist(const char *url, int bus, mivrabox_state *state);

int mivrabox_take(const char *url, int bus, mivrabox_state *state);
int mivrabox_take_n(const char *url, int bus, int index, mivrabox_state *state);
int mivrabox_fallback(const char *url, int bus, mivrabox_state *state);
// idx_or_id: an index, or a negated sys_id; io_url the player to cue on.
int mivrabox_preview(const char *url, int bus, int64_t idx_or_id, const char *io_url,
                     mivrabox_state *state);
// The index found, or the daemon's negative result (-2 none).
int mivrabox_search_event(const char *url, int bus, const char *key, int start, int flags,
                          mivrabox_state *state);
int mivrabox_trimpad_event(const char *url, int bus, int value, mivrabox_state *state);

// Playlist names of the bus folder: *names gets count + 1 heap texts ended by a null pointer
// (free each and the array, or call mivrabox_names_free). *names is null after a failure.
int mivrabox_list_playlists(const char *url, int bus, char ***names, mivrabox_state *state);
// Frees a name array and clears *names; safe on a null array.
void mivrabox_names_free(char ***names);

// One event: 0 with *ev holding a new event (one reference) whose flags, sys_id and start come
// from the state's er[0..2] and amend from the state; -22 when its line does not parse, -14 when
// the reply holds no event (also when the daemon answered a negative result).
int mivrabox_get_event(const char *url, int bus, int index, mivrabox_event **ev,
                       mivrabox_state *state);
// Events at n indexes into evs[0..n-1]: the count read (slots past it are null); each event read
// into slot k stores the index the daemon reports (er[4]) into indexes[k]. Lines that do not
// parse are skipped. The failure of the last item when no event was read.
int mivrabox_get_events2(const char *url, int bus, int n, int64_t *indexes, mivrabox_event **evs,
                         mivrabox_state *state);

// Events whose flags meet the mask, one per media: *list gets count + 1 records (media_id,
// start_time, start, title from "comment", sys_id, flags; refcount 0) ended by an all-zero
// record, freed with mivrabox_errorflag_list_free. *list is null after a failure.
int mivrabox_errorflag_list(const char *url, int bus, int mask, mivrabox_event **list,
                            mivrabox_state *state);
int mivrabox_errorflag_list_absent(const char *url, int bus, mivrabox_event **list,
                                   mivrabox_state *state);
void mivrabox_errorflag_list_free(mivrabox_event **list);

// Media list of the bus (0 queued, 1 absent, 2 present) into list, emptied first; the number of
// objects put in the list. The list is empty after a failure.
int mivrabox_lib_list(const char *url, int bus, int which, lib_object_list *list,
                      mivrabox_state *state);

// Snapshot slots of the single-player daemon; the event line of AddEvent travels plain.
int mivrabox_snapshot_new(const char *url, int bus, mivrabox_state *state);
int mivrabox_snapshot_curr(const char *url, int bus, mivrabox_state *state);
int mivrabox_snapshot_load(const char *url, int bus, const char *name, mivrabox_state *state);
int mivrabox_snapshot_save(const char *url, int bus, int slot, const char *name,
                           mivrabox_state *state);
int mivrabox_snapshot_destroy(const char *url, int bus, int slot, mivrabox_state *state);
int mivrabox_snapshot_add_event(const char *url, int bus, int slot, const mivrabox_event *ev,
                                mivrabox_state *state);
// As mivrabox_get_event; "result" is not read.
int mivrabox_snapshot_get_event(const char *url, int bus, int slot, int index, mivrabox_event **ev,
                                mivrabox_state *state);
