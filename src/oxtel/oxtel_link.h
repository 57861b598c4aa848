// The link threads' shared pieces: the client thread (oxtel_client.cc) and the server thread
// (oxtel_net.cc) read, frame and write through the same helpers.
#pragma once

#include <poll.h>

#include "oxtel.h"

namespace oxtel_link {

constexpr int kPollMs = 300;
constexpr int kRetryMs = 1000;
constexpr short kErrEvents = POLLERR | POLLHUP | POLLNVAL;

void close_fd(int &fd);
void drop_socket(int &fd);
void tune_peer_socket(int fd);
void drain_wake(oxtel_ctx *ctx);
// Sleeps up to ms, woken early by a stop.
void rest(oxtel_ctx *ctx, int ms);
void log_events(int level, int index, short ev);
// Writes what is queued for c; false when the connection failed.
bool flush(oxtel_ctx *ctx, oxtel_client &c, int fd);
// Reads and frames what arrived for slot; false when the connection ended or failed.
bool receive(oxtel_ctx *ctx, int slot, int fd);
void reset_read(oxtel_client &c);

// The client link thread: connects to ctx->address and reconnects until stopped.
void client_proc(oxtel_ctx *ctx);

}  // namespace oxtel_link
