// Oxtel graphics link: a TCP client or server that frames messages at ':' and queues outgoing
// ones for its thread, plus the escaping that keeps ':', ';', '\' and '|' out of message text.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "log.h"
#include "text.h"

enum oxtel_type { OXTEL_NONE = 0, OXTEL_SERVER = 1, OXTEL_CLIENT = 2 };

constexpr int OXTEL_MAX_CLIENTS = 128;
constexpr int OXTEL_BUF_SIZE = 8192;
// Bytes a slot holds at most, read side and write side: a message has at most 4095 bytes
// before its ':'.
constexpr int OXTEL_MSG_MAX = 4096;

struct oxtel_ctx;

// Data callback: one framed message, NUL-terminated and without its ':'; the result is ignored.
using oxtel_data_cb = int (*)(oxtel_ctx *ctx, int slot, void *user, char *msg, int len);
// Connection callback (client only): state 1 after a connection is made, 0 after it was lost.
using oxtel_conn_cb = int (*)(oxtel_ctx *ctx, int state, void *user);

struct oxtel_buf {
    char data[OXTEL_BUF_SIZE];
    int size = 0;
};

struct oxtel_client {
    int sock = -1;  // server only; -1 when the slot is free
    // The read side belongs to the link thread alone.
    oxtel_buf read;
    bool discarding = false;  // dropping the tail of an over-long message up to its ':'
    oxtel_buf write;          // guarded by the context mutex
    bool torn = false;        // the head of the write queue was partly sent
};

struct oxtel_ctx {
    std::atomic<int> stop{0};
    std::thread thread;
    int type = OXTEL_NONE;
    // Client: host, ':' and port; server: the port alone.
    text4k address;
    std::mutex mutex;
    int wake[2] = {-1, -1};
    // Listening socket (server) or connected socket (client); -1 when there is none.
    int sock = -1;
    struct {
        oxtel_client clients[OXTEL_MAX_CLIENTS];
    } tcp;
    void *user = nullptr;
    oxtel_data_cb data_cb = nullptr;
    oxtel_conn_cb conn_cb = nullptr;
    // A device that stops reading makes every send fail: those lines are counted, not each
    // written.
    log_quiet send_quiet{"oxtel_send", "more dropped messages not logged"};
};

// Resets the context and creates its wake pipe: 0 or a negated errno.
int oxtel_ctx_init(oxtel_ctx *ctx);
// Stops a link still running and closes the wake pipe: 0.
int oxtel_ctx_release(oxtel_ctx *ctx);

// Starts the link for ctx->type (set type, address, user and callbacks first): 0 or a negated
// errno (server set-up failures, -16 when already running, -22 for a bad server port).
int oxtel_net_run(oxtel_ctx *ctx);
// Stops and joins the link thread: 0 (-35 when called from the link thread itself, which then
// ends on its own and is joined by the next call from another thread).
int oxtel_net_stop(oxtel_ctx *ctx);
// Local port of a running server's listening socket, or a negated errno.
int oxtel_net_port(oxtel_ctx *ctx);

// Queues bytes followed by ':' for one slot, for every connected slot (-1, server), or for the
// connection (client, slot ignored). Returns length whether or not it was queued; -14 when the
// context is not configured, -22 for bad arguments.
int oxtel_send(oxtel_ctx *ctx, int slot, const char *bytes, int length);

// Text conversions; count 0 takes the whole NUL-terminated source. Both return the characters
// written to dst, which is always terminated when capacity > 0.
int oxtel_escape(char *dst, int capacity, const char *src, int count);
int oxtel_unescape(char *dst, int capacity, const char *src, int count);
// Index of the first ':' within length bytes, -2 when there is none.
int oxtel_find_term(const char *buf, int length);
