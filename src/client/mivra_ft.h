// Calls of the file-transfer service (MivraFileTransfer.: transfer targets, transfer requests,
// remote listing and probing) and of the transcoder (MivraFileTranscoder.: transcoding
// requests). Every call takes the service's server URL first.
#pragma once

#include "mivra.h"

#include <cstdint>
#include <string>
#include <vector>

// A remote place with its access data; every field arrives as a text.
struct mivra_ft_target {
    text4k id, type, title, host, port, path, login, passw;
};

struct mivra_ft_request {
    int id = 0;
    text4k target;  // the target's name
    int f_import = 0, f_delete = 0;
    text4k object_local, object_remote;
    int progress = 0, state = 0;  // the service's own units and states
    text4k error;
    int64_t updated = 0, created = 0;
};

struct mivra_ftc_request {
    int id = 0;
    int64_t updated = 0, created = 0;
    int f_delete = 0;
    text4k src_object, src_local, dst_object, dst_local, in, dur, factory, profile, audio_map;
    int audio_conf = 0, progress = 0, state = 0;
    text4k error, timecode, osd, transfer_target;
    int transfer_f_delete = 0;
};

// Capped lists: at most max records of the caller's array are filled, in reply order; returns
// how many were filled (an item whose members do not decode ends the list, untouched, and
// records after it are left alone), the service's negative "result", or -14.
int mivra_filetransfer_targets_list(const char *url, int a, mivra_ft_target *list, int max);
int mivra_filetransfer_requests_list(const char *url, int a, int b, mivra_ft_request *list,
                                     int max);
int mivra_filetranscoder_requests_list(const char *url, int a, int b, mivra_ftc_request *list,
                                       int max);

// Fills *req; "result", or -14 when the request did not decode (*req is then left as it was).
int mivra_filetransfer_request_get(const char *url, int id, mivra_ft_request *req);
// Sends target, f_import, f_delete, object_local, object_remote; the service answers the new
// request's id as its result.
int mivra_filetransfer_request_add(const char *url, const mivra_ft_request *req);
int mivra_filetransfer_request_del(const char *url, int id);
int mivra_filetransfer_request_cancel(const char *url, int id);
int mivra_filetransfer_request_restart(const char *url, int id);
// Time and size of a remote file (each address may be null). A non-negative reply without both
// gives -14 and leaves the outputs alone; a negative result is returned as it is.
int mivra_filetransfer_probe(const char *url, const char *target, const char *path, int64_t *time,
                             int64_t *size);
// Names under a remote path appended to *list; returns how many were appended, the service's
// negative "result", or -14.
int mivra_filetransfer_list(const char *url, const char *target, const char *path,
                            std::vector<std::string> *list);

// Sends src_object, in, dur, dst_object, factory, profile, f_delete, audio_map, audio_conf,
// timecode, osd, transfer_target, transfer_f_delete.
int mivra_filetranscoder_request_add(const char *url, const mivra_ftc_request *req);
int mivra_filetranscoder_request_del(const char *url, int id);
int mivra_filetranscoder_request_cancel(const char *url, int id);
int mivra_filetranscoder_request_restart(const char *url, int id);
