// Helpers the media library, scheduler, file-transfer and transcoder wrappers share on top of
// the call families of mivra_call.h.
#pragma once

#include "mivra_call.h"

// A text argument or field that may be null, for the wire and for "%s".
inline const char *mivra_opt(const char *s) {
    return s ? s : "";
}

// The pooled call with the short texts of the calls that name their first string argument:
// "<fn>: xmlrpc_client_callX(<url>,<arg>) failed: <fault> (<code>)". Null on failure.
xr_value mivra_short_call(const char *fn, const char *url, const char *arg, const char *method,
                          const char *format, ...);
// Command family with the short texts (the decoding failure reads
// "<fn>: decompose value failed: <fault> (<code>)"): "result" unchanged, or -14.
int mivra_short_command(const char *fn, const char *url, const char *arg, const char *method,
                        const char *format, ...);
// "result" of reply with the short decoding text; -14 after it.
int mivra_short_result(const char *fn, xmlrpc_value *reply, int *result);
// "result" of reply with the command family's text on failure
// ("<fn>: <method>, decompose value failed: ... [<file>:<line>]\n"); 0, or -14 after it.
int mivra_method_result(const char *fn, const char *method, xmlrpc_value *reply, int *result);

// "result" of reply and, when it is 0, its struct member "item" into *item, with the short
// texts. Returns "result" (a non-zero one without decoding further, *item left null) or -14.
int mivra_short_item(const char *fn, xmlrpc_value *reply, xr_value *item);
