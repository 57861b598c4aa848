// What the service wrappers share: the reply families, the standard-error texts and the
// decoding helpers. Included by the wrapper files of each service, not by the programs.
#pragma once

#include "mivra.h"
#include "xr.h"

#include <cstdarg>

// Source position written into some texts, as "[file:line]".
#define MIVRA_HERE __FILE__, __LINE__

// Decimal integer of a text member or setting: what its leading digits read (clamped to int),
// 0 when there are none; trailing text is ignored.
int parse_int(const char *s);

// One formatted write on standard error (texts of concurrent callers do not interleave).
void mivra_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Thread-safe text of a positive errno value.
struct mivra_errtext {
    char buf[128];
    explicit mivra_errtext(int err);
    const char *str;
};

// The pooled call with the call-failure text of the wrappers:
// "<fn>: xmlrpc_client_callX(<url>, <method>) failed: <fault> (<code>)". Null on failure.
xr_value mivra_call(const char *fn, const char *url, const char *method, const char *format, ...);
xr_value mivra_call_va(const char *fn, const char *url, const char *method, const char *format,
                       va_list args);

// Command family: the reply's "result" unchanged (a negative one is not reported), or -14.
int mivra_command(const char *fn, const char *url, const char *method, const char *format, ...);
int mivra_command_va(const char *fn, const char *url, const char *method, const char *format,
                     va_list args);

// Record and list family, steps up to "result": a negative "result" is reported with its errno
// text and returned; when the result is >= 0 the reply is left in *reply for the payload.
int mivra_record_call(const char *fn, const char *url, const char *method, xr_value *reply,
                      const char *format, ...);

// Decodes "result" from reply; on failure writes
// "<fn>: decompose value failed: <fault> (<code>) [<file>:<line>]\n" and returns -14.
int mivra_decode_result(const char *fn, xmlrpc_value *reply, int *result, const char *file,
                        int line);
// Reports a negative service result: "<fn>: <method> return <result> (<errno text>)".
void mivra_report_result(const char *fn, const char *method, int result);

// The "list" member of a record reply; on failure writes
// "<fn>: decompose value failed: <fault> (<code>) [<file>:<line>]" (no line end) and gives null.
xr_value mivra_record_list(const char *fn, xmlrpc_value *reply);

// Decodes the array member `member` of reply ("{s:A,*}"); null with the fault in env.
xr_value mivra_member_array(xmlrpc_env *env, xmlrpc_value *reply, const char *member);
// Array size and item reading that report with "<fn>: xmlrpc_array_size failed: ..." and
// "<fn>: xmlrpc_array_read_item failed: ...". Size -14, or null item, on failure.
int mivra_array_size(const char *fn, xmlrpc_value *array);
xr_value mivra_array_item(const char *fn, xmlrpc_value *array, int i);
// "<fn>: xmlrpc_decompose_value failed: <fault> (<code>)".
void mivra_report_decompose(const char *fn, xr_env &env);

// An argument that could not be built fails like the call: the call text, -14.
int mivra_build_failed(const char *fn, const char *url, const char *method, xr_env &env);

// Template arguments of the engine's and the library's template calls: *array holds the
// non-null strings among the first value_count values (the whole null-terminated array when
// value_count < 0); *vars holds name = value for the pairs below var_count whose name and value
// are both set. With var_count < 0 the pairs are counted on the null-terminated arrays: the
// walk stops at the first missing value, or after the last name. Faults land in env.
void mivra_template_args(xmlrpc_env *env, int value_count, const char *const *values, int var_count,
                         const char *const *var_names, const char *const *var_values,
                         xr_value *array, xr_value *vars);

// Counts the entries of a null-terminated array (0 for a null array).
template <class T>
int mivra_null_count(T *const *list) {
    int n = 0;
    while (list && list[n]) n++;
    return n;
}
